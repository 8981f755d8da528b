// Kernel code by address, read from the symbol and module lists.
#include "kernel_code.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace {

// A re-read costs a parse of the whole symbol list: once a second at most.
constexpr uint64_t REREAD_INTERVAL_NS = 1000000000;
// Distinct drop sites are few; the cap only keeps a flood of garbage bounded.
constexpr size_t REREAD_ADDRESSES_MAX = 4096;

// "nf_tables 356352 0 - Live 0xffffffffc0a00000 (OE)"
void read_modules(const char *path, code_map_t &map)
{
    FILE *list = fopen(path, "r");
    if (!list)
        return;
    char line[1024];
    while (fgets(line, sizeof(line), list)) {
        char name[256];
        unsigned long long size, base;
        if (sscanf(line, "%255s %llu %*s %*s %*s %llx", name, &size, &base) == 3 && base != 0)
            map.modules.push_back({name, base, base + size, {}});
    }
    fclose(list);
    std::sort(map.modules.begin(), map.modules.end(),
              [](const module_code_t &a, const module_code_t &b) { return a.start < b.start; });
}

bool is_code(char type)
{
    return type == 't' || type == 'T' || type == 'w' || type == 'W';
}

// The module whose code starts at or below the address and reaches past it.
// A module's text comes first from its base, so no other module starts
// inside it: the nearest start below is its own.
const module_code_t *module_at(const code_map_t &map, uint64_t address)
{
    auto after = std::upper_bound(map.modules.begin(), map.modules.end(), address,
                                  [](uint64_t a, const module_code_t &m) { return a < m.start; });
    if (after == map.modules.begin())
        return nullptr;
    const module_code_t &m = *std::prev(after);
    return address < m.end ? &m : nullptr;
}

// _stext.._etext, or the code symbols' own range where the list lacks them.
bool in_core(const code_map_t &map, uint64_t address)
{
    if (map.core.empty())
        return false;
    uint64_t start = map.core_start ? map.core_start : map.core.front().first;
    uint64_t end = map.core_end ? map.core_end : map.core.back().first + 1;
    return address >= start && address < end;
}

} // namespace

bool read_code_map(const char *symbols_path, const char *modules_path, code_map_t &map,
                   const std::set<std::string> &wanted, std::set<std::string> &found)
{
    FILE *list = fopen(symbols_path, "r");
    if (!list)
        return false;
    read_modules(modules_path, map);
    std::unordered_map<std::string, module_code_t *> by_name;
    for (module_code_t &m : map.modules)
        by_name[m.name] = &m;
    bool any_line = false, any_address = false;
    // getline: a long name (Rust's run to hundreds of bytes) is never cut
    // into a second, made-up line.
    char *line = nullptr;
    size_t size = 0;
    while (getline(&line, &size, list) != -1) {
        // "ffffffff81000000 T name" or "... t name\t[module]"
        char *end;
        unsigned long long address = strtoull(line, &end, 16);
        if (end == line || end[0] != ' ' || !end[1] || end[2] != ' ')
            continue;
        char type = end[1];
        char *name = end + 3;
        size_t name_len = strcspn(name, "\t\n ");
        char *rest = name + name_len;
        bool more = *rest == '\t' || *rest == ' ';
        *rest = '\0';
        if (!*name)
            continue;
        any_line = true;
        any_address = any_address || address != 0;
        if (wanted.count(name))
            found.insert(name);
        if (strcmp(name, "_stext") == 0)
            map.core_start = address;
        else if (strcmp(name, "_etext") == 0)
            map.core_end = address;
        if (!is_code(type) || address == 0)
            continue;
        char *tag = more ? strchr(rest + 1, '[') : nullptr;
        if (!tag) {
            map.core.emplace_back(address, name);
            continue;
        }
        tag[strcspn(tag, "]\n")] = '\0';
        auto module = by_name.find(tag + 1);
        if (module != by_name.end())
            module->second->symbols.emplace_back(address, name);
    }
    free(line);
    fclose(list);
    map.addresses_hidden = any_line && !any_address;
    if (map.addresses_hidden)
        map.modules.clear();
    std::sort(map.core.begin(), map.core.end());
    for (module_code_t &m : map.modules)
        std::sort(m.symbols.begin(), m.symbols.end());
    return true;
}

bool in_known_code(const code_map_t &map, uint64_t address)
{
    return module_at(map, address) || in_core(map, address);
}

const std::string *code_symbol_at(const code_map_t &map, uint64_t address)
{
    const module_code_t *module = module_at(map, address);
    const std::vector<code_symbol_t> *symbols = module ? &module->symbols
                                                : in_core(map, address) ? &map.core
                                                                        : nullptr;
    if (!symbols)
        return nullptr;
    auto after = std::upper_bound(symbols->begin(), symbols->end(), address,
                                  [](uint64_t a, const code_symbol_t &s) { return a < s.first; });
    return after == symbols->begin() ? nullptr : &std::prev(after)->second;
}

std::string code_map_notice(const code_map_t &map)
{
    if (!map.addresses_hidden)
        return "";
    return "kfree_skb: /proc/kallsyms hides kernel addresses (kptr_restrict), "
           "drop rows give the code's address, not its name";
}

const std::string *name_code(code_names_t &names, uint64_t address, uint64_t now_ns)
{
    if (names.map.addresses_hidden || in_known_code(names.map, address))
        return code_symbol_at(names.map, address);
    if (names.symbols_path.empty() || names.reread_for.count(address))
        return nullptr;
    // Rows of different CPUs come out of time order: an earlier time is no later second.
    if (names.reread_once && now_ns < names.last_reread_ns + REREAD_INTERVAL_NS)
        return nullptr;
    names.reread_once = true;
    names.last_reread_ns = now_ns;
    if (names.reread_for.size() >= REREAD_ADDRESSES_MAX)
        names.reread_for.clear();
    names.reread_for.insert(address);
    code_map_t fresh;
    std::set<std::string> none;
    if (read_code_map(names.symbols_path.c_str(), names.modules_path.c_str(), fresh, {}, none))
        names.map = std::move(fresh);
    return code_symbol_at(names.map, address);
}
