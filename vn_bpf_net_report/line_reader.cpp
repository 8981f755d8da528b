#include "line_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// One line (without its line feed); too_long when it is known to be longer
// than a row, whatever is cut of it.
void take(line_cutter &cutter, std::string_view line, bool unterminated, bool too_long,
          std::vector<cut_line> &lines)
{
    if (cutter.skipping) { // the rest of a line already counted
        cutter.skipping = false;
        return;
    }
    cut_line &cut = lines.emplace_back();
    cut.unterminated = unterminated;
    if (too_long || line.size() > LINE_LEN_MAX) {
        cut.kind = line_kind::unreadable;
        cut.too_long = true;
        cutter.refused = ++cutter.line_no == 1;
        return;
    }
    parsed_row parsed;
    cut.kind = parse_line(line, ++cutter.line_no, cutter.protocol, &cut.header, parsed, &cut.bad, &cut.loss);
    if (cut.kind == line_kind::header)
        cutter.protocol = cut.header;
    cutter.refused = cut.kind == line_kind::no_header;
    if (cut.kind == line_kind::row)
        cut.row = row_of(*cutter.names, cutter.caches, parsed, cutter.line_no);
}

// Batches cut ahead of the grouping. The grouping thread works in bursts
// (every few thousand rows it makes and writes the journeys done): the
// cutting runs on through a burst's worth of lines rather than wait.
constexpr size_t BATCHES_AHEAD = 16;

} // namespace

size_t cut_lines(line_cutter &cutter, const char *bytes, size_t size, bool at_end, std::vector<cut_line> &lines)
{
    size_t start = 0;
    while (!cutter.refused) {
        const char *nl = static_cast<const char *>(memchr(bytes + start, '\n', size - start));
        if (!nl)
            break;
        size_t end = size_t(nl - bytes);
        take(cutter, {bytes + start, end - start}, false, false, lines);
        start = end + 1;
    }
    if (cutter.refused)
        return size;
    if (at_end) {
        if (start < size || cutter.skipping)
            take(cutter, {bytes + start, size - start}, true, false, lines);
        return size;
    }
    if (size - start > LINE_LEN_MAX) {
        // Too long to be a row: counted now, and skipped up to its line feed.
        if (!cutter.skipping) {
            take(cutter, {bytes + start, size - start}, false, true, lines);
            cutter.skipping = !cutter.refused;
        }
        return size;
    }
    return start;
}

read_cutter::read_cutter(size_t chunk, name_table &names)
    : chunk(chunk), bytes(chunk + LINE_LEN_MAX) // a chunk after the longest line kept
{
    cutter.names = &names;
}

read_cutter::outcome read_cutter::read_and_cut(int fd, std::vector<cut_line> &lines)
{
    ssize_t n = read(fd, bytes.data() + have, chunk);
    if (n <= 0)
        return {n == 0, n < 0 ? errno : 0};
    size_t size = have + size_t(n);
    size_t keep = cut_lines(cutter, bytes.data(), size, false, lines);
    have = size - keep;
    memmove(bytes.data(), bytes.data() + keep, have);
    return {};
}

void read_cutter::finish(std::vector<cut_line> &lines)
{
    cut_lines(cutter, bytes.data(), have, true, lines);
    have = 0;
}

void read_cutter::start_over()
{
    have = 0;
    cutter.skipping = false;
}

line_reader::line_reader(int fd, size_t chunk, name_table &names)
    : thread([this, fd, chunk, &names] {
          try {
              read_to_end(fd, chunk, names);
          } catch (...) {
              // Out of memory, or of room for names: it ends the run, on the
              // caller's thread, once the batches before it are taken.
              std::lock_guard<std::mutex> hold(lock);
              failure = std::current_exception();
              changed.notify_all();
          }
      })
{
}

line_reader::~line_reader()
{
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    changed.notify_all();
    thread.join();
}

void line_reader::read_to_end(int fd, size_t chunk, name_table &names)
{
    read_cutter reading(chunk, names);
    for (bool last = false; !last;) {
        line_batch batch = spare_batch();
        batch.lines.clear();
        read_cutter::outcome got;
        while ((got = reading.read_and_cut(fd, batch.lines)).error == EINTR || got.error == EAGAIN)
            if (got.error == EAGAIN) { // standard input left non-blocking: wait for it
                pollfd p{fd, POLLIN, 0};
                poll(&p, 1, -1);
            }
        if (got.end)
            reading.finish(batch.lines);
        batch.error = got.error;
        last = got.end || got.error || reading.cutter.refused;
        batch.last = last;
        if (!hand_over(batch))
            return;
    }
}

// False when the reader goes before taking it: nothing more is wanted.
bool line_reader::hand_over(line_batch &batch)
{
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return full.size() < BATCHES_AHEAD || stopping; });
    if (stopping)
        return false;
    full.push_back(std::move(batch));
    changed.notify_all();
    return true;
}

line_batch line_reader::spare_batch()
{
    std::lock_guard<std::mutex> hold(lock);
    if (spare.empty())
        return {};
    line_batch batch = std::move(spare.back());
    spare.pop_back();
    return batch;
}

bool line_reader::next_batch(line_batch &batch)
{
    if (taken_last)
        return false;
    std::unique_lock<std::mutex> hold(lock);
    if (batch.lines.capacity() > 0)
        spare.push_back(std::move(batch));
    changed.wait(hold, [&] { return !full.empty() || failure; });
    if (full.empty()) {
        taken_last = true;
        std::rethrow_exception(failure);
    }
    batch = std::move(full.front());
    full.pop_front();
    taken_last = batch.last;
    changed.notify_all();
    return true;
}
