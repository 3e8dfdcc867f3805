#include "record_list.h"

#include <algorithm>
#include <limits>

namespace dravolin::protocol {

namespace {
// Growth by a quarter (at least a step) keeps the unused room small; doubling would leave
// up to half of a large listing's memory unused.
template <typename Container> void makeRoom(Container& c, std::size_t extra, std::size_t step) {
    if (c.size() + extra <= c.capacity()) {
        return;
    }
    c.reserve(c.size() + std::max({extra, step, c.capacity() / 4}));
}
} // namespace

RecordList::RecordList(std::initializer_list<Record> records) {
    for (const auto& r : records) {
        add(r.name, r.value);
    }
}

bool RecordList::add(std::string_view name, std::string_view value) {
    const std::size_t need = name.size() + value.size() + 2;
    if (text_.size() + need > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    makeRoom(text_, need, 64 * 1024);
    if (entries_.size() == entries_.capacity()) {
        makeRoom(entries_, 1, 1024);
    }
    const auto nameAt = static_cast<std::uint32_t>(text_.size());
    text_.append(name).push_back('\0');
    const auto valueAt = static_cast<std::uint32_t>(text_.size());
    text_.append(value).push_back('\0');
    entries_.push_back({nameAt, valueAt});
    return true;
}

RecordView RecordList::operator[](std::size_t index) const {
    const Entry& e = entries_[index];
    const std::size_t end = index + 1 < entries_.size() ? entries_[index + 1].name : text_.size();
    return {std::string_view(text_.data() + e.name, e.value - e.name - 1),
            std::string_view(text_.data() + e.value, end - e.value - 1)};
}

void RecordList::clear() {
    std::string().swap(text_);
    std::vector<Entry>().swap(entries_);
}

std::vector<Record> RecordList::toVector() const {
    std::vector<Record> records;
    records.reserve(size());
    for (const RecordView r : *this) {
        records.push_back({std::string(r.name), std::string(r.value)});
    }
    return records;
}

bool operator==(const RecordList& list, const std::vector<Record>& records) {
    if (list.size() != records.size()) {
        return false;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        const RecordView r = list[i];
        if (r.name != records[i].name || r.value != records[i].value) {
            return false;
        }
    }
    return true;
}

} // namespace dravolin::protocol
