// Intrusive circular doubly linked list shared by the daemon's modules.
// A list head is a `list` of its own; an empty list points at itself both
// ways. Structures embed a `list` and are reached back with list_entry.
#ifndef TARVI_LIST_H
#define TARVI_LIST_H

#include <cstddef>

struct list {
    struct list *prev;
    struct list *next;
};

// Makes `head` an empty list.
inline void list_init(struct list *head) {
    head->prev = head;
    head->next = head;
}

inline void list_link_between(struct list *entry, struct list *prev, struct list *next) {
    next->prev = entry;
    entry->next = next;
    entry->prev = prev;
    prev->next = entry;
}

// Inserts `entry` right after `head` (at the front).
inline void list_add(struct list *entry, struct list *head) { list_link_between(entry, head, head->next); }

// Inserts `entry` right before `head` (at the back).
inline void list_add_tail(struct list *entry, struct list *head) { list_link_between(entry, head->prev, head); }

// Unlinks `entry`; its own links are left as they were.
inline void list_del(struct list *entry) {
    entry->next->prev = entry->prev;
    entry->prev->next = entry->next;
}

// Unlinks `entry` and makes it an empty list.
inline void list_del_init(struct list *entry) {
    list_del(entry);
    list_init(entry);
}

inline bool list_empty(const struct list *head) { return head->next == head; }

// Puts `repl` in `orig`'s place (or makes it empty when `orig` is empty) and
// leaves `orig` empty.
inline void list_replace(struct list *orig, struct list *repl) {
    if (list_empty(orig)) {
        list_init(repl);
        return;
    }
    repl->next = orig->next;
    repl->prev = orig->prev;
    repl->next->prev = repl;
    repl->prev->next = repl;
    list_init(orig);
}

// The structure of type T whose member `member` is the link at `ptr`.
#define list_entry(ptr, T, member) (reinterpret_cast<T *>(reinterpret_cast<char *>(ptr) - offsetof(T, member)))

// Iterates the links of a list; `pos` may not be unlinked inside the body.
#define list_for_each(pos, head) for (struct list *pos = (head)->next; pos != (head); pos = pos->next)

// Iterates the links of a list; `pos` may be unlinked (and freed) in the body.
#define list_for_each_safe(pos, head)                                                                                  \
    for (struct list *pos = (head)->next, *pos##_next = pos->next; pos != (head);                                      \
         pos = pos##_next, pos##_next = pos->next)

#endif
