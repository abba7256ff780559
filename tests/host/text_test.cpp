// Code page 1250 and the program's string table.

#include "platform/host/text.h"

#include "host/host_fixture.h"
#include "platform/text.h"

namespace hosttest {
namespace {

std::u16string Decode(const std::string& bytes, std::int32_t capacity = 512) {
  std::u16string out(static_cast<std::size_t>(capacity), u'\xFFFF');
  std::int32_t n =
      platform::MultiByteToWideChar(platform::kCodePage1250, 0, bytes.data(),
                                    static_cast<std::int32_t>(bytes.size()), out.data(), capacity);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// The host's fold, with ASCII in line, is the device's for every code
// unit, and the folded order and equality follow it.
TEST(CaseFold, EveryUnitFoldsAsTheDeviceFoldsIt) {
  for (unsigned c = 0; c <= 0xFFFF; ++c) {
    const auto unit = static_cast<char16_t>(c);
    ASSERT_EQ(host::FoldUnit(unit), wtext::ToLower(unit)) << "U+" << std::hex << c;
  }
  EXPECT_TRUE(host::EqualNoCase(u"ZIP.Gif", u"zip.gIF"));
  EXPECT_FALSE(host::EqualNoCase(u"zip", u"zips"));
  EXPECT_EQ(host::CompareNoCase(u"ZIP", u"zip"), 0);
  EXPECT_LT(host::CompareNoCase(u"zip", u"ZIPS"), 0);
  EXPECT_GT(host::CompareNoCase(u"Zip", u"yard"), 0);
  EXPECT_LT(host::CompareNoCase(u"_x", u"ax"), 0);  // '_' sorts after 'A', before 'a'
}

TEST(CodePage1250, CzechLettersDecode) {
  EXPECT_EQ(Decode("\x8A"), u"\u0160");  // Š
  EXPECT_EQ(Decode("\xE8"), u"\u010D");  // č
  EXPECT_EQ(Decode("\x9A"), u"\u0161");  // š
  EXPECT_EQ(Decode("\x80"), u"\u20AC");  // €
  // "Příliš žluťoučký kůň" as the device's settings file holds it.
  EXPECT_EQ(Decode("P\xF8\xED\x6C\x69\x9A \x9E\x6C\x75\x9D\x6F\x75\xE8\x6B\xFD \x6B\xF9\xF2"),
            U("Příliš žluťoučký kůň"));
}

TEST(CodePage1250, EveryByteIsOneCharacterAsWindowsDecodesIt) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::u16string decoded = Decode(all);
  ASSERT_EQ(decoded.size(), 256u);
  for (int b = 0; b < 0x80; ++b) EXPECT_EQ(decoded[static_cast<std::size_t>(b)], b);
  // The five bytes the code page leaves undefined are the C1 controls of the same value.
  for (int b : {0x81, 0x83, 0x88, 0x90, 0x98}) {
    EXPECT_EQ(decoded[static_cast<std::size_t>(b)], b) << std::hex << b;
  }
  EXPECT_EQ(decoded[0xA0], 0xA0);
  EXPECT_EQ(decoded[0xFF], 0x02D9);  // ˙
}

TEST(CodePage1250, NeverWritesBeyondTheCapacity) {
  char16_t buffer[6];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(platform::MultiByteToWideChar(1250, 0, "abcde", 5, buffer, 4), 0);
  EXPECT_EQ(std::u16string(buffer, 6), u"######");
  EXPECT_EQ(platform::MultiByteToWideChar(1250, 0, "abcd", 4, buffer, 4), 4);
  EXPECT_EQ(std::u16string(buffer, 6), u"abcd##");
  // -1: up to and with the terminator.
  EXPECT_EQ(platform::MultiByteToWideChar(1250, 0, "ab", -1, buffer, 6), 3);
  EXPECT_EQ(std::u16string(buffer, 4), std::u16string(u"ab\0d", 4));
  // Capacity 0 asks for the size, as on Windows.
  EXPECT_EQ(platform::MultiByteToWideChar(1250, 0, "abcde", 5, nullptr, 0), 5);
  EXPECT_EQ(platform::MultiByteToWideChar(1250, 0, "a\0b", 3, buffer, 6), 3);
  EXPECT_EQ(buffer[1], 0);
  EXPECT_EQ(platform::MultiByteToWideChar(1250, 0, "", 0, buffer, 6), 0);
  EXPECT_EQ(platform::MultiByteToWideChar(1252, 0, "abc", 3, buffer, 6), 0);
  EXPECT_EQ(platform::MultiByteToWideChar(65001, 0, "abc", 3, buffer, 6), 0);
}

TEST(StringTable, CzechNoticeAndEnglishQuestion) {
  const platform::Instance instance = host::ProgramInstance();
  char16_t buffer[256];
  EXPECT_EQ(platform::LoadStringW(instance, 1, buffer, 256), 131);
  EXPECT_EQ(S(buffer),
            "Změny nastavení se projeví až po restartu. Uložte prosím otevřené soubory, "
            "uzavřete všechny aplikace a pro RESTART klepněte na OK. ");
  EXPECT_EQ(platform::LoadStringW(instance, 2, buffer, 256), 38);
  EXPECT_EQ(S(buffer), "Do you want to install branding files?");
}

TEST(StringTable, CutToTheBufferAndTerminated) {
  const platform::Instance instance = host::ProgramInstance();
  char16_t buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(platform::LoadStringW(instance, 1, buffer, 5), 4);
  EXPECT_EQ(std::u16string(buffer, 6), std::u16string(u"Změn\0#", 6));
  EXPECT_EQ(platform::LoadStringW(instance, 3, buffer, 8), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(platform::LoadStringW(static_cast<platform::Instance>(0x7777), 1, buffer, 8), 0);
  EXPECT_EQ(platform::LoadStringW(instance, 1, buffer, 0), 0);
}

}  // namespace
}  // namespace hosttest
