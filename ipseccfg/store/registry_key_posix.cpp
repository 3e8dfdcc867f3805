// In-memory registry behind CRegistryKey: a key tree per predefined root with
// typed, byte-exact values, the sub-key rule of deletion, access checks on
// handles and hooks that make chosen operations fail.
#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>

#include "memory_platform.h"
#include "registry_key.h"

namespace ipseccfg {

namespace {

constexpr std::uint32_t kKeyQueryValue = 0x0001;
constexpr std::uint32_t kKeySetValue = 0x0002;

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

struct LessNoCase {
    bool operator()(const std::string& a, const std::string& b) const {
        return Lower(a) < Lower(b);
    }
};

struct Value {
    std::string name;
    std::uint32_t type = 0;
    Bytes data;
};

struct Node {
    std::string path; // from the root, components joined by '\'
    std::map<std::string, std::shared_ptr<Node>, LessNoCase> children;
    std::vector<Value> values; // in order of first write
    Node* parent = nullptr;
    bool deleted = false;
};

struct FailRule {
    standin::RegOp op;
    std::string match; // lower-case
    int times;
    int skip;
};

struct OpenKey {
    std::shared_ptr<Node> node;
    std::uint32_t access;
};

struct Registry {
    std::mutex mutex;
    std::map<RootKey, std::shared_ptr<Node>> roots;
    std::map<std::uintptr_t, OpenKey> handles;
    std::uintptr_t nextHandle = 0x1000;
    std::vector<FailRule> rules;
    std::vector<std::string> journal;

    Registry() { ResetLocked(); }

    void ResetLocked() {
        roots.clear();
        roots[kHkeyLocalMachine] = std::make_shared<Node>();
        roots[kHkeyCurrentUser] = std::make_shared<Node>();
        rules.clear();
        journal.clear();
        // Open handles keep their (now unreachable) keys; they fail like
        // handles of deleted keys.
        for (auto& [h, open] : handles)
            open.node->deleted = true;
    }

    // The key behind an open handle, when it still exists and the handle
    // was opened with `access`; null otherwise. Holds mutex.
    Node* OpenNode(std::uintptr_t handle, std::uint32_t access) {
        const auto it = handles.find(handle);
        if (it == handles.end() || it->second.node->deleted || !(it->second.access & access))
            return nullptr;
        return it->second.node.get();
    }

    bool ShouldFail(standin::RegOp op, std::string_view subject) {
        const std::string s = Lower(subject);
        for (auto it = rules.begin(); it != rules.end(); ++it) {
            if (it->op != op || s.find(it->match) == std::string::npos)
                continue;
            if (it->skip > 0) {
                --it->skip;
                continue;
            }
            if (it->times > 0 && --it->times == 0)
                rules.erase(it);
            return true;
        }
        return false;
    }
};

Registry& Reg() {
    static Registry registry;
    return registry;
}

std::vector<std::string> Split(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t end = path.find('\\', pos);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > pos)
            parts.emplace_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return parts;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) {
        if (!out.empty())
            out += '\\';
        out += p;
    }
    return out;
}

std::shared_ptr<Node> Find(Registry& r, RootKey root, std::string_view path) {
    auto it = r.roots.find(root);
    if (it == r.roots.end())
        return nullptr;
    std::shared_ptr<Node> node = it->second;
    for (const std::string& part : Split(path)) {
        auto child = node->children.find(part);
        if (child == node->children.end())
            return nullptr;
        node = child->second;
    }
    return node;
}

Value* FindValue(Node& node, std::string_view name) {
    for (Value& v : node.values)
        if (EqualNoCase(v.name, name))
            return &v;
    return nullptr;
}

} // namespace

bool CRegistryKey::Open(RootKey root, std::string_view path, unsigned flags,
                        std::uint32_t access) noexcept {
    Close();
    try {
        path_.assign(path);
        access_ = access;
        root_ = root;
        Registry& r = Reg();
        std::lock_guard lock(r.mutex);
        const std::vector<std::string> parts = Split(path);
        const std::string canonical = Join(parts);
        std::shared_ptr<Node> node;
        if ((flags & OpenExisting) && !r.ShouldFail(standin::RegOp::OpenKey, canonical))
            node = Find(r, root, path);
        if (!node) {
            if (!(flags & CreateNew))
                return false;
            if (r.ShouldFail(standin::RegOp::CreateKey, canonical))
                return false;
            auto rootIt = r.roots.find(root);
            if (rootIt == r.roots.end())
                return false;
            bool created = false;
            node = rootIt->second;
            std::vector<std::string> walked;
            for (const std::string& part : parts) {
                walked.push_back(part);
                auto child = node->children.find(part);
                if (child == node->children.end()) {
                    auto fresh = std::make_shared<Node>();
                    fresh->path = Join(walked);
                    fresh->parent = node.get();
                    child = node->children.emplace(part, fresh).first;
                    created = true;
                } else {
                    created = false;
                }
                node = child->second;
            }
            if (!(flags & OpenExisting) && !created)
                return false;
        }
        const std::uintptr_t h = r.nextHandle++;
        r.handles.emplace(h, OpenKey{node, access});
        handle_ = h;
        return true;
    } catch (...) {
        return false;
    }
}

bool CRegistryKey::Close() noexcept {
    if (handle_ != 0) {
        Registry& r = Reg();
        std::lock_guard lock(r.mutex);
        r.handles.erase(handle_);
        handle_ = 0;
    }
    return true;
}

bool CRegistryKey::QueryRaw(std::string_view name, std::uint32_t& type, Bytes& bytes) noexcept {
    if (handle_ == 0)
        return false;
    try {
        Registry& r = Reg();
        std::lock_guard lock(r.mutex);
        Node* const open = r.OpenNode(handle_, kKeyQueryValue);
        if (open == nullptr)
            return false;
        Node& node = *open;
        if (r.ShouldFail(standin::RegOp::QueryValue, node.path + "\\" + std::string(name)))
            return false;
        const Value* v = FindValue(node, name);
        if (v == nullptr || v->data.size() > kMaxValueSize)
            return false;
        bytes = v->data;
        type = v->type;
        return true;
    } catch (...) {
        return false;
    }
}

bool CRegistryKey::HasValue(std::string_view name) noexcept {
    if (handle_ == 0)
        return false;
    Registry& r = Reg();
    std::lock_guard lock(r.mutex);
    Node* const open = r.OpenNode(handle_, kKeyQueryValue);
    return open != nullptr && FindValue(*open, name) != nullptr;
}

bool CRegistryKey::SetRaw(std::string_view name, std::uint32_t type, const std::uint8_t* data,
                          std::size_t size) noexcept {
    if (handle_ == 0)
        return false;
    try {
        Registry& r = Reg();
        std::lock_guard lock(r.mutex);
        Node* const open = r.OpenNode(handle_, kKeySetValue);
        if (open == nullptr)
            return false;
        Node& node = *open;
        const std::string subject = node.path + "\\" + std::string(name);
        if (r.ShouldFail(standin::RegOp::SetValue, subject))
            return false;
        Value* v = FindValue(node, name);
        if (v == nullptr) {
            node.values.push_back(Value{std::string(name), 0, {}});
            v = &node.values.back();
        }
        v->type = type;
        v->data.assign(data, data + size);
        r.journal.push_back(subject);
        return true;
    } catch (...) {
        return false;
    }
}

bool CRegistryKey::DeleteValue(std::string_view name) noexcept {
    if (handle_ == 0)
        return false;
    try {
        Registry& r = Reg();
        std::lock_guard lock(r.mutex);
        Node* const open = r.OpenNode(handle_, kKeySetValue);
        if (open == nullptr)
            return false;
        Node& node = *open;
        if (r.ShouldFail(standin::RegOp::SetValue, node.path + "\\" + std::string(name)))
            return false;
        const Value* v = FindValue(node, name);
        if (v == nullptr)
            return false;
        node.values.erase(node.values.begin() + (v - node.values.data()));
        return true;
    } catch (...) {
        return false;
    }
}

bool CRegistryKey::DeleteKey(RootKey root, std::string_view path) noexcept {
    try {
        Registry& r = Reg();
        std::lock_guard lock(r.mutex);
        const std::vector<std::string> parts = Split(path);
        if (parts.empty())
            return false; // roots cannot be deleted
        if (r.ShouldFail(standin::RegOp::DeleteKey, Join(parts)))
            return false;
        std::shared_ptr<Node> node = Find(r, root, path);
        if (!node || !node->children.empty() || node->parent == nullptr)
            return false;
        node->deleted = true;
        node->parent->children.erase(parts.back());
        node->parent = nullptr;
        return true;
    } catch (...) {
        return false;
    }
}

namespace standin {

void ResetRegistry() {
    Registry& r = Reg();
    std::lock_guard lock(r.mutex);
    r.ResetLocked();
}

void FailRegistry(RegOp op, std::string_view match, int times, int skip) {
    Registry& r = Reg();
    std::lock_guard lock(r.mutex);
    r.rules.push_back(FailRule{op, Lower(match), times, skip});
}

void ClearRegistryFailures() {
    Registry& r = Reg();
    std::lock_guard lock(r.mutex);
    r.rules.clear();
}

std::vector<std::string> RegistryWriteJournal() {
    Registry& r = Reg();
    std::lock_guard lock(r.mutex);
    return r.journal;
}

bool KeyExists(RootKey root, std::string_view path) {
    Registry& r = Reg();
    std::lock_guard lock(r.mutex);
    return Find(r, root, path) != nullptr;
}

std::vector<std::string> SubKeys(RootKey root, std::string_view path) {
    Registry& r = Reg();
    std::lock_guard lock(r.mutex);
    std::vector<std::string> out;
    if (auto node = Find(r, root, path))
        for (const auto& [name, child] : node->children)
            out.push_back(name);
    return out;
}

std::vector<std::string> ValueNames(RootKey root, std::string_view path) {
    Registry& r = Reg();
    std::lock_guard lock(r.mutex);
    std::vector<std::string> out;
    if (auto node = Find(r, root, path))
        for (const Value& v : node->values)
            out.push_back(v.name);
    return out;
}

int OpenRegistryHandles() {
    Registry& r = Reg();
    std::lock_guard lock(r.mutex);
    return static_cast<int>(r.handles.size());
}

} // namespace standin

} // namespace ipseccfg
