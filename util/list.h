// Growable list of owned byte strings with one iteration cursor. Each item is a private
// copy of the caller's bytes followed by a NUL, so text items read as strings. The free
// function receives (data, length, index) for every item removed or freed. A list is not
// safe for concurrent use; its single cursor allows one iteration at a time.
#pragma once

#include <cstddef>

using ListFreeFn = void (*)(void* data, size_t length, int index);
using ListCompareFn = int (*)(const char* a, const char* b);

struct ListItem {
  char* data;
  size_t length;
};

struct List {
  int count;
  int capacity;
  int step;
  ListItem* items;
  int cursor;  // position of the last item handed out; -1 before the first
  ListFreeFn free_fn;
};

// A positive capacity is allocated at once; a negative step counts as 0; a null free
// function means plain freeing.
[[nodiscard]] List* list_create(int capacity, int step, ListFreeFn free_fn);

// Inserts a copy of `bytes` at `position` (0..count; count appends). Answers the new
// count; the unchanged count when the list is full and cannot grow (step 0); -1 with
// EINVAL for a missing list or a position outside 0..count.
int list_insert(List* list, const void* bytes, size_t length, int position);

// Removes `how_many` items from `first`. Answers the new count, or -1 when the list is
// missing or empty or either end of the range lies outside it.
[[nodiscard]] int list_remove(List* list, int first, int how_many);

// The item's text, or null with EINVAL for an index outside the list.
[[nodiscard]] char* list_item(const List* list, int index);
// The item's length in bytes, or 0 for an index outside the list.
[[nodiscard]] size_t list_item_length(const List* list, int index);

[[nodiscard]] int list_count(const List* list);     // -1 for no list
[[nodiscard]] int list_position(const List* list);  // the cursor, -1 for no list

// Item 0's text (resetting the cursor), or null for a missing or empty list.
[[nodiscard]] char* list_first(List* list);
// The next item's text, or null at the end; the cursor stops at the count.
[[nodiscard]] char* list_next(List* list);

// Sorts by the items' texts (strcmp when `compare` is null); equal items in no order.
void list_sort(List* list, ListCompareFn compare);

void list_free(List* list);
