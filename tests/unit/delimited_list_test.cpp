#include "config/delimited_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using murvik::ReadDelimitedText;
using murvik::WriteDelimitedText;
using List = std::vector<std::string>;

TEST(DelimitedList, Reads) {
  struct Case {
    std::string text;
    char delimiter;
    List items;
  };
  const Case cases[] = {
      {"", ';', {}},
      {" \t ", ';', {}},
      {"a;b", ';', {"a", "b"}},
      {" a ; b ", ';', {"a", "b"}},
      {"a b", ';', {"a", "b"}},                      // a blank ends an unquoted item
      {"\x01" "a\x1f;\x20" "b", ';', {"a", "b"}},      // codes 1..32 are blanks
      {"a;", ';', {"a", ""}},                        // a trailing delimiter adds an empty item
      {"a; ", ';', {"a"}},                           // ... only as the very last character
      {";", ';', {"", ""}},
      {"a;;b", ';', {"a", "", "b"}},
      {"\"a b\";c", ';', {"a b", "c"}},
      {"\"x;y\"", ';', {"x;y"}},
      {"\"say \"\"hi\"\"\"", ';', {"say \"hi\""}},
      {"\"\"", ';', {""}},
      {"\"a\"b", ';', {"a", "b"}},
      {"\"open;end", ';', {"open;end"}},             // unterminated quote runs to the end
      {"\"ab\"\"", ';', {"ab\""}},                   // ... also right after a doubled quote
      {"1,title,,addr", ',', {"1", "title", "", "addr"}},
      {"a;b", ',', {"a;b"}},
      {"组一;组二", ';', {"组一", "组二"}},
      {std::string("a\0b;c", 5), ';', {"a"}},        // a NUL ends the text
  };
  for (const Case& c : cases) EXPECT_EQ(ReadDelimitedText(c.text, c.delimiter), c.items) << "text: " << c.text;
}

TEST(DelimitedList, Writes) {
  struct Case {
    List items;
    std::string text;
  };
  const Case cases[] = {
      {{}, ""},
      {{""}, "\"\""},
      {{"a", "b"}, "a;b"},
      {{"", ""}, ";"},
      {{"a", ""}, "a;"},
      {{"a b"}, "\"a b\""},
      {{"x;y", "z"}, "\"x;y\";z"},
      {{"say \"hi\""}, "\"say \"\"hi\"\"\""},
      {{"tab\there"}, "\"tab\there\""},
      {{"组一", "g"}, "组一;g"},
  };
  for (const Case& c : cases) EXPECT_EQ(WriteDelimitedText(c.items, ';'), c.text);
}

TEST(DelimitedList, WrittenListsReadBackWhole) {
  const List lists[] = {
      {}, {""}, {"", ""}, {"a", "", "b"}, {"", "a"}, {"a", ""}, {"my group", "x;y", "\"q\"", " lead", "trail "},
      {"\"", "\"\"", ";", " "}, {"组 一", "\x01"},
  };
  for (const List& l : lists) EXPECT_EQ(ReadDelimitedText(WriteDelimitedText(l, ';'), ';'), l);
}
