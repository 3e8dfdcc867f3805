// The name/value records of one reply, stored compactly: a listing of a hundred thousand
// short records would otherwise cost several times its text in string objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace dravolin::protocol {

struct Record {
    std::string name;
    std::string value;
    bool operator==(const Record&) const = default;
};

struct RecordView {
    std::string_view name;
    std::string_view value;
};

class RecordList {
  public:
    RecordList() = default;
    RecordList(std::initializer_list<Record> records);

    // False (and nothing kept) when the list cannot grow any further.
    bool add(std::string_view name, std::string_view value);
    void push_back(const Record& record) { add(record.name, record.value); }

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    RecordView operator[](std::size_t index) const;
    // Empties the list and gives its memory back.
    void clear();

    class const_iterator {
      public:
        const_iterator(const RecordList* list, std::size_t index) : list_(list), index_(index) {}
        RecordView operator*() const { return (*list_)[index_]; }
        const_iterator& operator++() {
            ++index_;
            return *this;
        }
        bool operator!=(const const_iterator& other) const { return index_ != other.index_; }

      private:
        const RecordList* list_;
        std::size_t index_;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

    Record back() const {
        const RecordView r = (*this)[size() - 1];
        return {std::string(r.name), std::string(r.value)};
    }
    std::vector<Record> toVector() const;
    operator std::vector<Record>() const { return toVector(); }
    friend bool operator==(const RecordList& list, const std::vector<Record>& records);

  private:
    struct Entry {
        std::uint32_t name;  // offset of the name in text_
        std::uint32_t value; // offset of the value; each is followed by a NUL
    };
    std::string text_;
    std::vector<Entry> entries_;
};

} // namespace dravolin::protocol
