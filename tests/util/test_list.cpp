#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "util/list.h"

namespace {

std::vector<std::string> items(List* list) {
  std::vector<std::string> out;
  for (int i = 0; i < list_count(list); ++i) out.emplace_back(list_item(list, i));
  return out;
}

void append(List* list, const char* text) {
  list_insert(list, text, strlen(text), list_count(list));
}

TEST(ListTest, InsertAtFrontMiddleAndEnd) {
  List* list = list_create(1, 2, nullptr);
  EXPECT_EQ(list_insert(list, "b", 1, 0), 1);
  EXPECT_EQ(list_insert(list, "a", 1, 0), 2);  // before the one item
  EXPECT_EQ(list_insert(list, "d", 1, 2), 3);
  EXPECT_EQ(list_insert(list, "c", 1, 2), 4);
  EXPECT_EQ(items(list), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(list->capacity, 5);  // 1, grown by 2 twice
  list_free(list);
}

TEST(ListTest, InsertOutsideTheListFails) {
  List* list = list_create(4, 4, nullptr);
  append(list, "x");
  errno = 0;
  EXPECT_EQ(list_insert(list, "y", 1, 2), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(list_insert(list, "y", 1, -1), -1);
  EXPECT_EQ(list_insert(nullptr, "y", 1, 0), -1);
  EXPECT_EQ(list_count(list), 1);
  list_free(list);
}

TEST(ListTest, FullListWithoutGrowthRefusesQuietly) {
  List* list = list_create(2, -3, nullptr);  // negative step counts as 0
  EXPECT_EQ(list->step, 0);
  append(list, "a");
  append(list, "b");
  EXPECT_EQ(list_insert(list, "c", 1, 2), 2);
  EXPECT_EQ(items(list), (std::vector<std::string>{"a", "b"}));
  list_free(list);
  List* none = list_create(0, 0, nullptr);
  EXPECT_EQ(list_insert(none, "a", 1, 0), 0);
  list_free(none);
}

TEST(ListTest, ItemsAreTerminatedCopiesOfBinaryBytes) {
  List* list = list_create(0, 1, nullptr);
  char bytes[4] = {'a', '\0', 'b', 'c'};
  list_insert(list, bytes, 4, 0);
  bytes[0] = 'z';
  EXPECT_EQ(list_item_length(list, 0), 4u);
  EXPECT_EQ(memcmp(list_item(list, 0), "a\0bc\0", 5), 0);
  list_insert(list, nullptr, 0, 1);
  EXPECT_STREQ(list_item(list, 1), "");
  errno = 0;
  EXPECT_EQ(list_item(list, 2), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(list_item(list, -1), nullptr);
  list_free(list);
}

struct Freed {
  static std::vector<std::string> log;
  static void fn(void* data, size_t length, int index) {
    log.push_back(std::string(static_cast<char*>(data), length) + "@" + std::to_string(index));
    free(data);
  }
};
std::vector<std::string> Freed::log;

TEST(ListTest, RemoveChecksBothEndsAndFreesEachItem) {
  Freed::log.clear();
  List* list = list_create(2, 2, Freed::fn);
  for (const char* t : {"a", "b", "c", "d", "e"}) append(list, t);
  EXPECT_EQ(list_remove(list, 3, 3), -1);  // last index outside
  EXPECT_EQ(list_remove(list, -1, 1), -1);
  EXPECT_EQ(list_remove(list, 5, 1), -1);
  EXPECT_EQ(list_remove(list, 0, 0), -1);
  EXPECT_TRUE(Freed::log.empty());
  EXPECT_EQ(list_remove(list, 1, 2), 3);
  EXPECT_EQ(Freed::log, (std::vector<std::string>{"b@1", "c@2"}));
  EXPECT_EQ(items(list), (std::vector<std::string>{"a", "d", "e"}));
  list_free(list);
  EXPECT_EQ(Freed::log.size(), 5u);
  List* empty = list_create(0, 1, nullptr);
  EXPECT_EQ(list_remove(empty, 0, 1), -1);
  list_free(empty);
  EXPECT_EQ(list_remove(nullptr, 0, 1), -1);
}

TEST(ListTest, CursorWalksOnceAndStopsAtTheEnd) {
  List* list = list_create(0, 4, nullptr);
  EXPECT_EQ(list_first(list), nullptr);
  EXPECT_EQ(list_position(list), -1);
  append(list, "a");
  append(list, "b");
  EXPECT_EQ(list_position(list), -1);
  EXPECT_STREQ(list_next(list), "a");  // next before first starts at item 0
  EXPECT_STREQ(list_first(list), "a");
  EXPECT_EQ(list_position(list), 0);
  EXPECT_STREQ(list_next(list), "b");
  EXPECT_EQ(list_next(list), nullptr);
  EXPECT_EQ(list_position(list), 2);
  EXPECT_EQ(list_next(list), nullptr);  // and keeps answering null
  EXPECT_EQ(list_position(list), 2);
  EXPECT_STREQ(list_first(list), "a");
  list_free(list);
  EXPECT_EQ(list_count(nullptr), -1);
  EXPECT_EQ(list_position(nullptr), -1);
  EXPECT_EQ(list_first(nullptr), nullptr);
  EXPECT_EQ(list_next(nullptr), nullptr);
}

TEST(ListTest, SortByTextWithDefaultAndCustomComparators) {
  List* list = list_create(0, 8, nullptr);
  for (const char* t : {"pear", "Apple", "fig", "apple"}) append(list, t);
  list_sort(list, nullptr);
  EXPECT_EQ(items(list), (std::vector<std::string>{"Apple", "apple", "fig", "pear"}));
  list_sort(list, [](const char* a, const char* b) { return strcmp(b, a); });
  EXPECT_EQ(items(list), (std::vector<std::string>{"pear", "fig", "apple", "Apple"}));
  list_free(list);
  list_sort(nullptr, nullptr);
}

}  // namespace
