// The wildcard rule both backends enumerate with: whole names only, as the
// device lists them, whatever extra names desktop Windows matches.
#include "platform/wildcard.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

bool MatchesWildcard(std::u16string_view pattern, std::u16string_view name) {
  return wtext::MatchesWildcard(pattern.data(), pattern.size(), name.data(), name.size());
}

TEST(Wildcard, ExtensionPatternMatchesWholeNamesOnly) {
  EXPECT_TRUE(MatchesWildcard(u"*.gif", u"logo.gif"));
  EXPECT_TRUE(MatchesWildcard(u"*.gif", u"a.b.gif"));
  EXPECT_TRUE(MatchesWildcard(u"*.gif", u".gif"));
  // What desktop Windows finds through the short name A~1.GIF.
  EXPECT_FALSE(MatchesWildcard(u"*.gif", u"a.gifx"));
  EXPECT_FALSE(MatchesWildcard(u"*.gif", u"a.gi"));
  EXPECT_FALSE(MatchesWildcard(u"*.gif", u"gif"));
  EXPECT_FALSE(MatchesWildcard(u"*.hp", u"start.hpx"));
  EXPECT_FALSE(MatchesWildcard(u"*.ur", u"links.url"));
  EXPECT_TRUE(MatchesWildcard(u"*.ur", u"links.ur"));
}

TEST(Wildcard, IgnoresCase) {
  EXPECT_TRUE(MatchesWildcard(u"*.gif", u"BANNER.GIF"));
  EXPECT_TRUE(MatchesWildcard(u"*.GIF", u"banner.gif"));
  EXPECT_TRUE(MatchesWildcard(u"brand.ini", u"Brand.INI"));
  // Letters beyond ASCII fold as the device folds them.
  EXPECT_TRUE(MatchesWildcard(u"značka.*", u"ZNAČKA.reg"));
  EXPECT_FALSE(MatchesWildcard(u"znacka.*", u"značka.reg"));
}

TEST(Wildcard, StarAndQuestionMark) {
  EXPECT_TRUE(MatchesWildcard(u"*", u"anything"));
  EXPECT_TRUE(MatchesWildcard(u"*", u""));
  EXPECT_TRUE(MatchesWildcard(u"a*b*c", u"aXXbYYc"));
  EXPECT_TRUE(MatchesWildcard(u"a*b*c", u"abc"));
  EXPECT_FALSE(MatchesWildcard(u"a*b*c", u"aXXbYY"));
  // The star has to give characters back: the first "ab" is not the end.
  EXPECT_TRUE(MatchesWildcard(u"*ab", u"aabab"));
  EXPECT_TRUE(MatchesWildcard(u"**.reg", u"x.reg"));
  EXPECT_TRUE(MatchesWildcard(u"cab?.cab", u"cab1.cab"));
  EXPECT_FALSE(MatchesWildcard(u"cab?.cab", u"cab.cab"));
  EXPECT_FALSE(MatchesWildcard(u"cab?.cab", u"cab12.cab"));
  EXPECT_FALSE(MatchesWildcard(u"", u"a"));
  EXPECT_TRUE(MatchesWildcard(u"", u""));
}

TEST(Wildcard, StarDotStarMatchesEveryName) {
  EXPECT_TRUE(MatchesWildcard(u"*.*", u"brand.ini"));
  EXPECT_TRUE(MatchesWildcard(u"*.*", u"README"));
  EXPECT_TRUE(MatchesWildcard(u"*.*", u"pkgs"));
  EXPECT_TRUE(MatchesWildcard(u"*.*", u".hidden"));
  EXPECT_TRUE(MatchesWildcard(u"inst.*", u"inst"));
  EXPECT_TRUE(MatchesWildcard(u"inst.*", u"inst.msg"));
  EXPECT_FALSE(MatchesWildcard(u"inst.*", u"install"));
  EXPECT_TRUE(MatchesWildcard(u"a*.*", u"abc"));
  EXPECT_TRUE(MatchesWildcard(u"?.*", u"a"));
  EXPECT_FALSE(MatchesWildcard(u"?.*", u"ab"));
  // Only a final ".*" may match nothing.
  EXPECT_FALSE(MatchesWildcard(u"*.*x", u"abx"));
  EXPECT_FALSE(MatchesWildcard(u"inst.", u"inst"));
}

}  // namespace
