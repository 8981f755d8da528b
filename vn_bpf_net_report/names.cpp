#include "names.h"

#include <stdexcept>

uint32_t name_table::id(std::string_view text)
{
    std::lock_guard<std::mutex> hold(adding);
    auto found = ids.find(text);
    if (found != ids.end())
        return found->second;
    if (count % BLOCK == 0) {
        // Past 2^28 distinct texts (gigabytes of names) the reading cannot go on.
        if (blocks.size() == BLOCKS_MAX)
            throw std::length_error("too many distinct texts in the trace");
        blocks.push_back(std::make_unique<std::string[]>(BLOCK));
    }
    uint32_t id = count;
    std::string &stored = blocks[id / BLOCK][id % BLOCK];
    stored.assign(text);
    count++;
    ids.emplace(stored, id);
    return id;
}
