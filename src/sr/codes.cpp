#include "sr/codes.hpp"

#include <algorithm>
#include <cctype>

#include "sr/codes_data.hpp"

namespace loamwerk::sr {

namespace {

using generated::CodeEntry;

// The index of the code in the table, when it is there.
std::optional<std::uint32_t> code_index(Code code) {
    const auto& table = generated::codes;
    const auto less = [](const CodeEntry& e, Code c) {
        const std::string_view scheme(e.scheme);
        return scheme != c.scheme ? scheme < c.scheme : std::string_view(e.value) < c.value;
    };
    const auto it = std::lower_bound(table.begin(), table.end(), code, less);
    if (it == table.end() || it->scheme != code.scheme || it->value != code.value) return std::nullopt;
    return std::uint32_t(it - table.begin());
}

const generated::GroupEntry* find_group(std::uint32_t cid) {
    const auto& table = generated::groups;
    const auto it = std::lower_bound(table.begin(), table.end(), cid,
                                     [](const generated::GroupEntry& g, std::uint32_t c) { return g.cid < c; });
    return it != table.end() && it->cid == cid ? &*it : nullptr;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool all_digits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

Code current_code(Code code) {
    if (code.scheme != "SRT") return code;
    const auto& table = generated::srt;
    const auto it = std::lower_bound(table.begin(), table.end(), code.value,
                                     [](const generated::SrtEntry& e, std::string_view v) { return std::string_view(e.srt) < v; });
    if (it == table.end() || it->srt != code.value) return code;
    return {it->sct, "SCT"};
}

std::optional<std::string_view> code_meaning(Code code) {
    const auto index = code_index(current_code(code));
    if (!index) return std::nullopt;
    return std::string_view(generated::codes[*index].meaning);
}

std::vector<std::string_view> code_meanings(Code code) {
    const auto index = code_index(current_code(code));
    if (!index) return {};
    std::vector<std::string_view> out{generated::codes[*index].meaning};
    for (const auto& m : generated::members)
        if (m.code == *index && m.meaning && std::find(out.begin(), out.end(), std::string_view(m.meaning)) == out.end())
            out.emplace_back(m.meaning);
    return out;
}

std::optional<std::string_view> group_name(std::uint32_t cid) {
    const auto* g = find_group(cid);
    if (!g) return std::nullopt;
    return std::string_view(g->name);
}

std::optional<bool> group_has(std::uint32_t cid, Code code) {
    const auto* g = find_group(cid);
    if (!g) return std::nullopt;
    const auto index = code_index(current_code(code));
    if (!index) return false;
    const auto members = generated::members.subspan(g->first, g->count);
    const auto it = std::lower_bound(members.begin(), members.end(), *index,
                                     [](const generated::MemberEntry& m, std::uint32_t c) { return m.code < c; });
    return it != members.end() && it->code == *index;
}

CodeCheck check_code(Code code, std::optional<std::string_view> meaning) {
    CodeCheck check;
    if (code.value.empty()) check.errors.emplace_back("the code value is empty");
    if (code.scheme.empty()) check.errors.emplace_back("the coding scheme designator is empty");
    const Code current = current_code(code);
    check.value = std::string(current.value), check.scheme = std::string(current.scheme);
    if (code.scheme == "SRT") {
        if (current.scheme == "SCT")
            check.warnings.push_back("SRT " + std::string(code.value) + " is a retired SNOMED-RT code: SCT " +
                                     check.value + " replaces it");
        else
            check.warnings.push_back("SRT " + std::string(code.value) +
                                     " is a retired SNOMED-RT code with no SNOMED CT equivalent in the tables");
    }
    if (current.scheme == "SCT" && !code.value.empty() && !all_digits(current.value))
        check.errors.push_back("SCT " + check.value +
                               " is not a SNOMED CT identifier (digits only); a SNOMED-RT code is coded SRT");
    const auto meanings = code_meanings(current);
    check.known = !meanings.empty();
    if (check.known) check.meaning = std::string(meanings.front());
    else if (check.errors.empty() && current.scheme != "SRT")
        check.warnings.push_back(check.scheme + " " + check.value + " is in none of the context groups");
    if (meaning && check.known && std::find(meanings.begin(), meanings.end(), *meaning) == meanings.end()) {
        const bool case_only = std::any_of(meanings.begin(), meanings.end(),
                                           [&](std::string_view m) { return equal_ignoring_case(m, *meaning); });
        check.warnings.push_back("the meaning \"" + std::string(*meaning) + "\" " +
                                 (case_only ? "differs only in case from" : "is not") + " the code's meaning \"" +
                                 check.meaning + "\"");
    }
    return check;
}

}  // namespace loamwerk::sr
