#include "names.h"

#include <stdexcept>

name_table::~name_table()
{
    for (size_t i = 0; i < blocks_made; i++)
        delete[] blocks[i];
}

uint32_t name_table::id(std::string_view text)
{
    std::lock_guard<std::mutex> hold(adding);
    auto found = ids.find(text);
    if (found != ids.end())
        return found->second;
    if (count / BLOCK == blocks_made) {
        // Past 2^28 distinct texts (gigabytes of names) the reading cannot go on.
        if (blocks_made == BLOCKS_MAX)
            throw std::length_error("too many distinct texts in the trace");
        blocks[blocks_made] = new std::string[BLOCK];
        blocks_made++;
    }
    uint32_t id = count;
    std::string &stored = blocks[id / BLOCK][id % BLOCK];
    stored.assign(text);
    count++;
    ids.emplace(stored, id);
    return id;
}
