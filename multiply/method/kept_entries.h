// The entries of A and B that the equilibration scales with rounding, with
// their original bits, so that the restore writes those bits back.
//
// The slots are laid out per pool job, in the order in which the job visits
// its rows (row i of A, then row i of B, for each of its rows i): a mark that
// names the row, then one slot per kept entry (its column and bits). The
// preflight counts each job's slots first, so that make_room gives every
// job a range of its own and the jobs fill and read their ranges without
// locks.
#pragma once

#include <cstdint>

namespace equil {

// The most pool jobs of a transform: W = min(n, kMaxJobs).
constexpr int kMaxJobs = 256;

// Slots that a row with `entries` kept entries takes: its mark and one per entry.
inline std::uint64_t kept_slots_of_row(std::uint64_t entries) { return entries == 0 ? 0 : entries + 1; }

class KeptEntries {
public:
    // Which matrix a row of kept entries belongs to.
    enum class Matrix { a, b };

    // One kept entry as the restore reads it.
    struct Entry {
        std::uint32_t column;
        std::uint32_t bits;
    };
    // The kept entries of one row, [first, last).
    struct Row {
        const Entry* first;
        const Entry* last;
    };

    // Job w's slots, filled by the forward scaling and read by the restore,
    // both visiting the job's rows in the same order. A cursor that runs out
    // of slots or leaves some unused ends the process: the preflight counted
    // them from the same entries.
    class Cursor {
    public:
        // Keeps the bits of column `column` of the row (written after the
        // row's mark, which the first kept entry of a row writes).
        void keep(Matrix m, std::uint64_t row, std::uint32_t column, std::uint32_t bits);
        // The kept entries of the row, none when it has none.
        Row take(Matrix m, std::uint64_t row);
        // Ends the job's pass: every slot has been used.
        void finish() const;

    private:
        friend class KeptEntries;
        Cursor(Entry* next, Entry* end) : next_(next), end_(end) {}
        Entry* next_;
        Entry* end_;
        bool row_open_ = false;  // the current row's mark is written
        Matrix open_matrix_ = Matrix::a;
        std::uint64_t open_row_ = 0;
    };

    // Forgets the slot counts of the last transform (the slots stay allocated).
    void clear_counts();
    // The preflight's slot count of job w (kept_slots_of_row summed over its rows).
    void set_job_slots(int w, std::uint64_t slots) { first_[w + 1] = slots; }
    // Turns the counts of jobs 0..jobs-1 into their first slots and makes
    // room for all of them, reusing the slots of an earlier transform when
    // there are enough. std::bad_alloc without memory.
    void make_room(int jobs);
    Cursor cursor(int w);

    // Bytes allocated for the slots.
    std::uint64_t bytes() const { return bytes_; }
    // Frees the slots and clears the counts.
    void release();

private:
    void release_slots();

    Entry* slots_ = nullptr;
    std::uint64_t capacity_ = 0;  // slots allocated
    std::uint64_t bytes_ = 0;
    std::uint64_t first_[kMaxJobs + 1] = {};  // job w's slots: [first_[w], first_[w + 1])
};

}  // namespace equil
