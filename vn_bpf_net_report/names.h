// Texts seen in rows (functions, devices, MACs, OTHER_INFO), each stored
// once: a row holds their numbers, so keeping a row allocates nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// No text: a field of an ending or a step that the trace did not tell.
constexpr uint32_t NO_NAME = UINT32_MAX;

// The thread that cuts lines adds the texts of rows while the grouping
// thread adds its own and reads texts: adding takes the lock; reading does
// not, as texts sit in blocks that never move, listed in an array made once
// whose entries are each set once, before any id of their block exists,
// and a thread reads only ids it made or was handed (through a lock) after
// they were made.
struct name_table {
    static constexpr size_t BLOCK = 1 << 12, BLOCKS_MAX = 1 << 16;
    // Left unset beyond the blocks made: unused entries cost no memory.
    std::unique_ptr<std::string *[]> blocks{new std::string *[BLOCKS_MAX]};
    size_t blocks_made = 0;
    uint32_t count = 0;
    std::unordered_map<std::string_view, uint32_t> ids;
    std::mutex adding;

    name_table() = default;
    name_table(const name_table &) = delete;
    name_table &operator=(const name_table &) = delete;
    ~name_table();
    uint32_t id(std::string_view text);
    // The id of a text, or NO_NAME for an empty one (a field not told).
    uint32_t id_or_none(std::string_view text) { return text.empty() ? NO_NAME : id(text); }
    std::string_view text(uint32_t id) const { return id == NO_NAME ? std::string_view() : blocks[id / BLOCK][id % BLOCK]; }
};

// The texts of a column seen last and their ids, by a hash of the text: a
// column holds a few texts that repeat row after row (a dozen functions,
// three devices, the walks' OTHER_INFO), and a compare is cheaper than a
// lookup in the table.
struct name_cache {
    std::pair<std::string_view, uint32_t> slots[64] = {}; // texts in the name table, which never moves them

    uint32_t id(name_table &names, std::string_view value)
    {
        size_t n = value.size();
        size_t slot = n ? (n * 131 + uint8_t(value[0]) * 7 + uint8_t(value[n / 2]) + uint8_t(value[n - 1]) * 3) %
                              std::size(slots)
                        : 0;
        auto &[text, id] = slots[slot];
        if (text.data() == nullptr || text != value) {
            id = names.id(value);
            text = names.text(id);
        }
        return id;
    }
};

// Per name id, a text made once from the name by a writer (shown, quoted):
// most texts repeat row after row.
struct rendered_names {
    std::vector<std::string> texts;

    template <typename Render> const std::string &get(const name_table &names, uint32_t id, Render render)
    {
        while (texts.size() <= id)
            texts.push_back(render(names.text(uint32_t(texts.size()))));
        return texts[id];
    }
};
