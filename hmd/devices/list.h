// Intrusive doubly linked list of the HMD library: nodes live inside the listed objects and
// list roots are plain members of their owners.
#pragma once

namespace Visor {

// Base of listed objects. Both links are null while the node is in no list.
template <class T> class ListNode {
public:
    ListNode* pPrev = nullptr;
    ListNode* pNext = nullptr;

    bool IsLinked() const { return pNext != nullptr; }
    // Unlinks the node from whatever list holds it; does nothing when unlinked.
    void RemoveNode() {
        if (!pNext)
            return;
        pPrev->pNext = pNext;
        pNext->pPrev = pPrev;
        pPrev = pNext = nullptr;
    }
};

// Circular list around a sentinel root; it never owns its items. Not thread-safe: the owner
// guards it.
template <class T> class List {
public:
    List() { Root.pPrev = Root.pNext = &Root; }
    List(const List&) = delete;
    List& operator=(const List&) = delete;
    ~List() { Clear(); }

    bool IsEmpty() const { return Root.pNext == &Root; }
    T* GetFirst() const { return ItemOf(Root.pNext); }
    T* GetLast() const { return ItemOf(Root.pPrev); }
    // Null at the ends of the list.
    T* GetNext(const T* item) const { return ItemOf(Node(item)->pNext); }
    T* GetPrev(const T* item) const { return ItemOf(Node(item)->pPrev); }

    void PushBack(T* item) { InsertBetween(Node(item), Root.pPrev, &Root); }
    void PushFront(T* item) { InsertBetween(Node(item), &Root, Root.pNext); }
    // Inserts item after pos, which must be in this list.
    void InsertAfter(T* pos, T* item) { InsertBetween(Node(item), Node(pos), Node(pos)->pNext); }
    void Remove(T* item) { Node(item)->RemoveNode(); }
    T* PopFront() {
        T* item = GetFirst();
        if (item)
            Remove(item);
        return item;
    }
    // Unlinks every item without destroying any.
    void Clear() {
        while (!IsEmpty())
            Root.pNext->RemoveNode();
    }

private:
    static ListNode<T>* Node(T* item) { return static_cast<ListNode<T>*>(item); }
    static const ListNode<T>* Node(const T* item) { return static_cast<const ListNode<T>*>(item); }
    T* ItemOf(ListNode<T>* n) const { return n == &Root ? nullptr : static_cast<T*>(n); }
    static void InsertBetween(ListNode<T>* n, ListNode<T>* prev, ListNode<T>* next) {
        n->RemoveNode();
        n->pPrev = prev;
        n->pNext = next;
        prev->pNext = n;
        next->pPrev = n;
    }

    ListNode<T> Root;
};

} // namespace Visor
