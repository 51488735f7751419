#include "util/list.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "util/memory.h"

namespace {

void release_item(List* list, int index) {
  ListItem& item = list->items[index];
  if (list->free_fn != nullptr) {
    list->free_fn(item.data, item.length, index);
  } else {
    free(item.data);
  }
  item.data = nullptr;
  item.length = 0;
}

// qsort passes pointers to the ListItems; the comparator for this sort is handed through
// a thread-local so lists on different threads can sort at once.
thread_local ListCompareFn t_compare = nullptr;

int compare_items(const void* a, const void* b) {
  const char* ta = static_cast<const ListItem*>(a)->data;
  const char* tb = static_cast<const ListItem*>(b)->data;
  return t_compare(ta, tb);
}

}  // namespace

List* list_create(int capacity, int step, ListFreeFn free_fn) {
  List* list = static_cast<List*>(util_alloc_zero(sizeof(List)));
  list->step = step < 0 ? 0 : step;
  list->cursor = -1;
  list->free_fn = free_fn;
  if (capacity > 0) {
    list->items =
        static_cast<ListItem*>(util_calloc(static_cast<size_t>(capacity), sizeof(ListItem)));
    list->capacity = capacity;
  }
  return list;
}

int list_insert(List* list, const void* bytes, size_t length, int position) {
  if (list == nullptr || position < 0 || position > list->count ||
      (bytes == nullptr && length > 0)) {
    errno = EINVAL;
    return -1;
  }
  if (list->count == list->capacity) {
    if (list->step == 0) return list->count;
    int grown = list->capacity + list->step;
    list->items = static_cast<ListItem*>(
        util_realloc(list->items, static_cast<size_t>(grown) * sizeof(ListItem)));
    list->capacity = grown;
  }
  char* copy = static_cast<char*>(util_alloc(length + 1));
  if (length > 0) memcpy(copy, bytes, length);
  copy[length] = '\0';
  if (position < list->count) {
    memmove(&list->items[position + 1], &list->items[position],
            static_cast<size_t>(list->count - position) * sizeof(ListItem));
  }
  list->items[position] = ListItem{copy, length};
  return ++list->count;
}

int list_remove(List* list, int first, int how_many) {
  if (list == nullptr || list->count == 0 || how_many < 1 || first < 0 || first >= list->count ||
      how_many > list->count - first) {
    errno = EINVAL;
    return -1;
  }
  for (int i = first; i < first + how_many; ++i) release_item(list, i);
  int tail = list->count - (first + how_many);
  if (tail > 0) {
    memmove(&list->items[first], &list->items[first + how_many],
            static_cast<size_t>(tail) * sizeof(ListItem));
  }
  list->count -= how_many;
  if (list->cursor > list->count) list->cursor = list->count;
  return list->count;
}

char* list_item(const List* list, int index) {
  if (list == nullptr || index < 0 || index >= list->count) {
    errno = EINVAL;
    return nullptr;
  }
  return list->items[index].data;
}

size_t list_item_length(const List* list, int index) {
  if (list == nullptr || index < 0 || index >= list->count) return 0;
  return list->items[index].length;
}

int list_count(const List* list) {
  return list == nullptr ? -1 : list->count;
}

int list_position(const List* list) {
  return list == nullptr ? -1 : list->cursor;
}

char* list_first(List* list) {
  if (list == nullptr) return nullptr;
  if (list->count == 0) {
    list->cursor = -1;
    return nullptr;
  }
  list->cursor = 0;
  return list->items[0].data;
}

char* list_next(List* list) {
  if (list == nullptr) return nullptr;
  if (list->cursor + 1 < list->count) {
    ++list->cursor;
    return list->items[list->cursor].data;
  }
  list->cursor = list->count;
  return nullptr;
}

void list_sort(List* list, ListCompareFn compare) {
  if (list == nullptr || list->count < 2) return;
  ListCompareFn saved = t_compare;
  t_compare = compare != nullptr ? compare : strcmp;
  qsort(list->items, static_cast<size_t>(list->count), sizeof(ListItem), compare_items);
  t_compare = saved;
}

void list_free(List* list) {
  if (list == nullptr) return;
  for (int i = 0; i < list->count; ++i) release_item(list, i);
  free(list->items);
  free(list);
}
