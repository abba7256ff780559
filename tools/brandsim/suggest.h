// "Did you mean ...?" for a mistyped command or option: the nearest of the
// known words, when it is near enough to be what was meant.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace brandsim {

// Edits (insert, delete, replace, swap two neighbours) that turn `a` into `b`.
inline std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The known word nearest to `word`, or "" when none is near: at most a third
// of the word's letters wrong (at least one), or the word a prefix of exactly
// one known word (`--dev` for `--device`).
inline std::string Suggest(const std::string& word, const std::vector<std::string>& known) {
  std::string best;
  std::size_t best_distance = std::max<std::size_t>(1, word.size() / 3) + 1;
  std::string prefixed;
  std::size_t prefixes = 0;
  for (const std::string& candidate : known) {
    std::size_t distance = EditDistance(word, candidate);
    if (distance < best_distance) {
      best_distance = distance;
      best = candidate;
    }
    if (word.size() >= 3 && candidate.compare(0, word.size(), word) == 0) {
      prefixed = candidate;
      ++prefixes;
    }
  }
  if (best.empty() && prefixes == 1) return prefixed;
  return best;
}

// "; did you mean 'X'?", or "" when nothing is near.
inline std::string DidYouMean(const std::string& word, const std::vector<std::string>& known) {
  std::string near = Suggest(word, known);
  return near.empty() ? "" : "; did you mean '" + near + "'?";
}

}  // namespace brandsim
