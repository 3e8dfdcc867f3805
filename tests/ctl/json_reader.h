// A strict JSON reader for the tests: rejects anything RFC 8259 does not allow (raw control
// characters, bad escapes, invalid UTF-8, trailing text), so "it parses" means valid JSON.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace jsontest {

struct Value {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members;

    const Value* get(std::string_view key) const {
        for (const auto& [k, v] : members)
            if (k == key)
                return &v;
        return nullptr;
    }
};

class Reader {
  public:
    explicit Reader(std::string_view s) : s_(s) {}

    std::optional<Value> document() {
        Value v;
        ws();
        if (!value(v))
            return std::nullopt;
        ws();
        if (i_ != s_.size())
            return std::nullopt;
        return v;
    }

  private:
    void ws() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
            ++i_;
    }
    bool lit(std::string_view w) {
        if (s_.substr(i_, w.size()) != w)
            return false;
        i_ += w.size();
        return true;
    }
    bool value(Value& v) {
        if (i_ >= s_.size())
            return false;
        const char c = s_[i_];
        if (c == '{')
            return object(v);
        if (c == '[')
            return array(v);
        if (c == '"') {
            v.type = Value::Type::String;
            return string(v.text);
        }
        if (lit("true")) {
            v.type = Value::Type::Bool;
            v.boolean = true;
            return true;
        }
        if (lit("false")) {
            v.type = Value::Type::Bool;
            return true;
        }
        if (lit("null"))
            return true;
        return number(v);
    }
    bool number(Value& v) {
        const size_t start = i_;
        if (i_ < s_.size() && s_[i_] == '-')
            ++i_;
        size_t digits = 0;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9')
            ++i_, ++digits;
        if (digits == 0)
            return false;
        v.type = Value::Type::Number;
        v.number = std::stod(std::string(s_.substr(start, i_ - start)));
        return true;
    }
    bool object(Value& v) {
        v.type = Value::Type::Object;
        ++i_;
        ws();
        if (i_ < s_.size() && s_[i_] == '}')
            return ++i_, true;
        for (;;) {
            ws();
            std::string key;
            if (i_ >= s_.size() || s_[i_] != '"' || !string(key))
                return false;
            ws();
            if (i_ >= s_.size() || s_[i_++] != ':')
                return false;
            ws();
            Value member;
            if (!value(member))
                return false;
            v.members.emplace_back(std::move(key), std::move(member));
            ws();
            if (i_ >= s_.size())
                return false;
            if (s_[i_] == ',') {
                ++i_;
                continue;
            }
            return s_[i_++] == '}';
        }
    }
    bool array(Value& v) {
        v.type = Value::Type::Array;
        ++i_;
        ws();
        if (i_ < s_.size() && s_[i_] == ']')
            return ++i_, true;
        for (;;) {
            ws();
            Value item;
            if (!value(item))
                return false;
            v.items.push_back(std::move(item));
            ws();
            if (i_ >= s_.size())
                return false;
            if (s_[i_] == ',') {
                ++i_;
                continue;
            }
            return s_[i_++] == ']';
        }
    }
    static void utf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool hex4(std::uint32_t& cp) {
        if (i_ + 4 > s_.size())
            return false;
        cp = 0;
        for (int k = 0; k < 4; ++k) {
            const char h = s_[i_++];
            cp <<= 4;
            if (h >= '0' && h <= '9')
                cp |= static_cast<std::uint32_t>(h - '0');
            else if (h >= 'a' && h <= 'f')
                cp |= static_cast<std::uint32_t>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                cp |= static_cast<std::uint32_t>(h - 'A' + 10);
            else
                return false;
        }
        return true;
    }
    bool string(std::string& out) {
        ++i_;
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"')
                return ++i_, true;
            if (c < 0x20)
                return false;
            if (c == '\\') {
                if (++i_ >= s_.size())
                    return false;
                const char e = s_[i_++];
                switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    std::uint32_t cp = 0;
                    if (!hex4(cp) || (cp >= 0xD800 && cp <= 0xDFFF))
                        return false;
                    utf8(out, cp);
                    break;
                }
                default:
                    return false;
                }
                continue;
            }
            if (c < 0x80) {
                out += static_cast<char>(c);
                ++i_;
                continue;
            }
            // Raw bytes must form valid UTF-8.
            size_t len = c >= 0xF0 && c <= 0xF4   ? 4
                         : c >= 0xE0              ? 3
                         : c >= 0xC2 && c <= 0xDF ? 2
                                                  : 0;
            if (c >= 0xF5)
                len = 0;
            if (len == 0 || i_ + len > s_.size())
                return false;
            for (size_t k = 1; k < len; ++k)
                if ((static_cast<unsigned char>(s_[i_ + k]) & 0xC0) != 0x80)
                    return false;
            out.append(s_.substr(i_, len));
            i_ += len;
        }
        return false;
    }

    std::string_view s_;
    size_t i_ = 0;
};

inline std::optional<Value> parse(std::string_view text) {
    return Reader(text).document();
}

} // namespace jsontest
