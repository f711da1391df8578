#include "quillforge/json/output.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "quillforge/text/huge_pages.hpp"

namespace qf::json {

Output::~Output() { std::free(owned_); }

void Output::reserve(std::size_t size) {
    if (static_cast<std::size_t>(end_ - begin_) < size) {
        grow(size - this->size());
    }
}

void Output::grow(std::size_t more) {
    const std::size_t used = size();
    const std::size_t capacity = std::max({used + more, 2 * static_cast<std::size_t>(end_ - begin_), std::size_t{128}});
    char* storage = nullptr;
    if (owned_ != nullptr) {
        // A large block is moved by remapping its pages, not by copying them.
        storage = static_cast<char*>(std::realloc(owned_, capacity));
    } else {
        storage = static_cast<char*>(std::malloc(capacity));
        if (storage != nullptr && used != 0) {
            std::memcpy(storage, begin_, used);  // leaves the lent storage, once
        }
    }
    if (storage == nullptr) {
        throw std::bad_alloc();
    }
    text::advise_huge_pages(storage + used, capacity - used);
    owned_ = begin_ = storage;
    cursor_ = storage + used;
    end_ = storage + capacity;
}

}  // namespace qf::json
