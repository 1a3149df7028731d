// The journal's error codes: named once in the code, all explained to technicians.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

const fs::path kSourceDir = STATION_SOURCE_DIR;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::multiset<std::string> AllCodesIn(const std::string& text) {
  static const std::regex code("1019000[0-9][0-9]");
  std::multiset<std::string> codes;
  for (std::sregex_iterator it(text.begin(), text.end(), code), end; it != end; ++it) {
    codes.insert(it->str());
  }
  return codes;
}

std::set<std::string> CodesIn(const std::string& text) {
  const auto all = AllCodesIn(text);
  return {all.begin(), all.end()};
}

TEST(ErrorCodesTest, HeaderAndFieldGuideNameTheSameCodes) {
  const std::string header_text = ReadAll(kSourceDir / "src/error_codes.h");
  const auto header = CodesIn(header_text);
  EXPECT_EQ(AllCodesIn(header_text).size(), header.size()) << "a code is named twice";
  const auto guide = CodesIn(ReadAll(kSourceDir / "docs/field-guide.md"));
  ASSERT_FALSE(header.empty());
  for (const auto& code : header) {
    EXPECT_TRUE(guide.count(code)) << code << " is logged but the field guide does not explain it";
  }
  for (const auto& code : guide) {
    EXPECT_TRUE(header.count(code)) << code << " is in the field guide but no line logs it";
  }
}

TEST(ErrorCodesTest, NoSourceSpellsACodeOutsideTheHeader) {
  for (const auto& entry : fs::recursive_directory_iterator(kSourceDir / "src")) {
    if (!entry.is_regular_file() || entry.path().filename() == "error_codes.h") {
      continue;
    }
    EXPECT_TRUE(CodesIn(ReadAll(entry.path())).empty())
        << entry.path() << " spells an error code instead of naming it from error_codes.h";
  }
}

}  // namespace
