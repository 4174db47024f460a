#include "qvpattern.h"

#include <stdexcept>
#include <utility>

namespace qvtest {

Pattern::Pattern(const std::string& expression) {
  const int refused = regcomp(&compiled_, expression.c_str(), REG_EXTENDED);
  if (refused != 0) {
    char why[256];
    regerror(refused, &compiled_, why, sizeof why);
    throw std::invalid_argument("pattern " + expression + ": " + why);
  }
}

Pattern::~Pattern() { regfree(&compiled_); }

bool Pattern::Find(const std::string& text, size_t from, Match& match) const {
  std::vector<regmatch_t> found(compiled_.re_nsub + 1);
  // Bounded by the offsets, not by a terminating zero: the text may hold one.
  found[0].rm_so = static_cast<regoff_t>(from);
  found[0].rm_eo = static_cast<regoff_t>(text.size());
  if (regexec(&compiled_, text.c_str(), found.size(), found.data(), REG_STARTEND) != 0) return false;
  match.position = static_cast<size_t>(found[0].rm_so);
  match.length = static_cast<size_t>(found[0].rm_eo - found[0].rm_so);
  match.groups.clear();
  for (const regmatch_t& group : found) {
    match.groups.push_back(group.rm_so < 0 ? std::string()
                                           : text.substr(static_cast<size_t>(group.rm_so),
                                                         static_cast<size_t>(group.rm_eo - group.rm_so)));
  }
  return true;
}

bool Pattern::Matches(const std::string& text, Match* match) const {
  // The matcher answers the longest of the leftmost matches: where the whole
  // text matches, that is it.
  Match found;
  if (!Find(text, 0, found) || found.position != 0 || found.length != text.size()) return false;
  if (match != nullptr) *match = std::move(found);
  return true;
}

std::vector<Pattern::Match> Pattern::FindAll(const std::string& text) const {
  std::vector<Match> all;
  Match found;
  for (size_t from = 0; from <= text.size() && Find(text, from, found);) {
    from = found.position + (found.length == 0 ? 1 : found.length);
    all.push_back(found);
  }
  return all;
}

}  // namespace qvtest
