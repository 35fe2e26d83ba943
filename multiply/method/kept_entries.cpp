#include "multiply/method/kept_entries.h"

#include <algorithm>
#include <cstdlib>

#include "multiply/method/square_view.h"

namespace equil {

namespace {

// The column field of a row's mark (its bits field holds the row); every
// column of a side below 2^31 is below both.
constexpr std::uint32_t kRowOfA = 0xfffffffeu;
constexpr std::uint32_t kRowOfB = 0xffffffffu;

std::uint32_t mark_of(KeptEntries::Matrix m) { return m == KeptEntries::Matrix::a ? kRowOfA : kRowOfB; }

}  // namespace

void KeptEntries::Cursor::keep(Matrix m, std::uint64_t row, std::uint32_t column, std::uint32_t bits) {
    if (!row_open_ || open_matrix_ != m || open_row_ != row) {
        if (next_ == end_) std::abort();
        *next_++ = {mark_of(m), static_cast<std::uint32_t>(row)};
        row_open_ = true;
        open_matrix_ = m;
        open_row_ = row;
    }
    if (next_ == end_) std::abort();
    *next_++ = {column, bits};
}

KeptEntries::Row KeptEntries::Cursor::take(Matrix m, std::uint64_t row) {
    if (next_ == end_ || next_->column != mark_of(m) || next_->bits != row) return {next_, next_};
    const Entry* first = ++next_;
    while (next_ != end_ && next_->column < kRowOfA) ++next_;
    return {first, next_};
}

void KeptEntries::Cursor::finish() const {
    if (next_ != end_) std::abort();
}

void KeptEntries::clear_counts() { std::fill(first_, first_ + kMaxJobs + 1, 0); }

void KeptEntries::make_room(int jobs) {
    for (int w = 1; w <= jobs; ++w) first_[w] += first_[w - 1];
    const std::uint64_t total = first_[jobs];
    if (total <= capacity_) return;
    release_slots();
    slots_ = square_view::alloc_vector<Entry>(total, bytes_, "equilibration allocation overflow");
    capacity_ = total;
}

void KeptEntries::release_slots() {
    std::free(slots_);
    slots_ = nullptr;
    capacity_ = bytes_ = 0;
}

KeptEntries::Cursor KeptEntries::cursor(int w) { return Cursor(slots_ + first_[w], slots_ + first_[w + 1]); }

void KeptEntries::release() {
    release_slots();
    clear_counts();
}

}  // namespace equil
