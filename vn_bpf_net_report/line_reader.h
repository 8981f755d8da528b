// Cutting an input into lines and taking each apart (parse_line), apart
// from grouping the rows. A trace read to its end is cut and parsed on a
// thread of its own while the caller's thread groups rows and writes
// journeys; --follow cuts each chunk as it comes, on the caller's thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "line_intake.h"
#include "trace_rows.h"

// Longer lines are no rows (the monitor writes none longer than 864 bytes).
constexpr size_t LINE_LEN_MAX = 1 << 16;

struct cut_line {
    line_kind kind;
    bool too_long = false;     // longer than LINE_LEN_MAX: counted, not read
    bool unterminated = false; // the input's last line, without its line feed
    uint32_t header = 0;       // a header's protocol
    const char *bad = nullptr; // unreadable: the first column that could not be read
    trace_row row;             // a row's texts as name ids
    loss_window loss;          // a loss line's
};

// Where the cutting of one input stands.
struct line_cutter {
    uint64_t line_no = 0;
    uint32_t protocol = 0;  // of the input's last header
    bool skipping = false;  // inside a line too long to be a row
    bool refused = false;   // the first line is no trace header: nothing more is cut
    name_table *names = nullptr; // where a row's texts become ids
    row_names caches;
};

// Cuts bytes[0, size) into lines appended to `lines`, and returns where the
// line not yet ended starts (the caller keeps bytes from there for the next
// call). at_end takes that last line too, unterminated. A line that
// grows past LINE_LEN_MAX unended is counted at once and skipped to its
// line feed, so a line is cut the same however its bytes come.
size_t cut_lines(line_cutter &cutter, const char *bytes, size_t size, bool at_end, std::vector<cut_line> &lines);

// Reads an input and cuts what it reads into lines, for the reading thread
// and for --follow alike. The line not yet ended stays at the start of the
// bytes, and the next read goes after it.
struct read_cutter {
    size_t chunk = 0; // read at a time
    line_cutter cutter;
    std::vector<char> bytes;
    size_t have = 0; // bytes of the line not yet ended

    read_cutter() = default;
    read_cutter(size_t chunk, name_table &names);

    struct outcome {
        bool end = false; // nothing more to read, for now
        int error = 0;    // errno of the read, EINTR and EAGAIN too
    };
    // One read of fd; the lines it ends are cut into `lines`. At the end
    // nothing is cut (a file may still grow): finish() takes the last line.
    outcome read_and_cut(int fd, std::vector<cut_line> &lines);
    // The input has ended: its last line, unterminated, into `lines`.
    void finish(std::vector<cut_line> &lines);
    // The input is read again from its start (a file cut short).
    void start_over();
};

// Lines of one input cut by a thread of its own, in batches. A cut line
// points into no bytes read (its texts are name ids), so the bytes stay
// with the cutting thread.
struct line_batch {
    std::vector<cut_line> lines;
    int error = 0;     // the read failed with this errno: the input's last batch
    bool last = false; // the input's end: nothing follows
};

// Reads fd to its end on a thread of its own, `chunk` bytes at a time, the
// rows' texts made ids in `names`. The thread starts with the reader and
// is joined when the reader goes, whether or not every batch was taken: it
// hands over no more then, though a read it is waiting in (a pipe that
// stays open and quiet) still has to return first.
class line_reader {
public:
    line_reader(int fd, size_t chunk, name_table &names);
    ~line_reader();
    line_reader(const line_reader &) = delete;
    line_reader &operator=(const line_reader &) = delete;

    // The next batch of lines, in order, into `batch` (whose storage goes
    // back for reuse); false once the last batch has been taken. What the
    // thread threw is thrown here, after the batches cut before it.
    bool next_batch(line_batch &batch);

private:
    void read_to_end(int fd, size_t chunk, name_table &names);
    bool hand_over(line_batch &batch);
    line_batch spare_batch();

    std::mutex lock;
    std::condition_variable changed;
    std::deque<line_batch> full;   // cut, not yet taken
    std::vector<line_batch> spare; // taken and given back, for reuse
    bool stopping = false;         // the reader goes: the thread hands over no more
    std::exception_ptr failure;    // what the thread threw
    bool taken_last = false;       // the caller's thread's alone: no lock
    std::thread thread;            // last: it starts once the rest is built
};
