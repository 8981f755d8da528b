// Kernel code by address, for the "at:" of drop rows: the core kernel's code
// symbols and each loaded module's, from a symbol list (/proc/kallsyms) and
// the module list (/proc/modules). An address is named only by a symbol of
// the code it lies in, so a module loaded after start never borrows the name
// of another module's function that happens to lie below it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

using code_symbol_t = std::pair<uint64_t, std::string>;

struct module_code_t {
    std::string name;
    uint64_t start = 0, end = 0;        // base and base + size, as the module list gives them
    std::vector<code_symbol_t> symbols; // ascending
};

struct code_map_t {
    std::vector<code_symbol_t> core; // the core kernel's code symbols, ascending
    uint64_t core_start = 0, core_end = 0; // _stext and _etext; 0: not in the list
    std::vector<module_code_t> modules;    // by start
    // Every address of the list is 0 (kptr_restrict): nothing can be named.
    bool addresses_hidden = false;
};

// Reads the module list, then the symbol list in one pass ("address type
// name" and, for a module's symbol, "\t[module]"). Only code symbols (t, T,
// w, W) with an address are kept, a module's only while the module list
// has it. Each name of WANTED the list has, of any type, is added to FOUND.
// A line of another form is skipped; a module list that cannot be read
// leaves no module known. False when the symbol list cannot be read.
bool read_code_map(const char *symbols_path, const char *modules_path, code_map_t &map,
                   const std::set<std::string> &wanted, std::set<std::string> &found);

// Whether the address lies in the core kernel's text or in a module's.
bool in_known_code(const code_map_t &map, uint64_t address);

// The symbol at or below the address within the code it lies in, or null.
const std::string *code_symbol_at(const code_map_t &map, uint64_t address);

// One line for the user when the map cannot name anything, else empty.
std::string code_map_notice(const code_map_t &map);

// The map as drop rows use it: read again from its files when an address
// lies in no known code (a module loaded since), at most once a second and
// once for each such address.
struct code_names_t {
    code_map_t map;
    std::string symbols_path, modules_path; // empty: never read again
    uint64_t last_reread_ns = 0;
    bool reread_once = false;
    std::set<uint64_t> reread_for; // the addresses a re-read was spent on
};

// The name of the code at the address, NOW_NS on the monotonic clock.
const std::string *name_code(code_names_t &names, uint64_t address, uint64_t now_ns);
