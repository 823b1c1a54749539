// The HMD library's JSON tree: a recursive-descent reader over zero-terminated UTF-8 text, a
// tab-indenting printer, and whole-file load and save through the library's file streams.
// Every node keeps both the parsed value and the value's text, which the profile store reads.
//
// Threads: a tree belongs to one thread at a time; Parse, Load and Save may run on any thread.
#pragma once

#include "hmd/devices/list.h"
#include "hmd/devices/refcount.h"
#include "hmd/devices/visor_string.h"

namespace Visor {

enum JSONItemType {
    JSON_None = 0,
    JSON_Null = 1,
    JSON_Bool = 2,
    JSON_Number = 3,
    JSON_String = 4,
    JSON_Array = 5,
    JSON_Object = 6,
};

class JSON : public RefCountBase<JSON>, public ListNode<JSON> {
public:
    // Deeper documents are refused: the reader recurses once per level and may run on the
    // device thread's small stack.
    enum { MaxDepth = 128 };

    // Array elements or object members in document order; the node holds one reference each.
    List<JSON> Children;
    JSONItemType Type;
    // The member name; empty for array elements and the root.
    String Name;
    // A string's unescaped text, "true" or "false", or a parsed number's source text.
    String Value;
    // The number, 1 or 0 for a bool, 0 otherwise.
    double dValue = 0;

    explicit JSON(JSONItemType type = JSON_Object) : Type(type) {}
    ~JSON() override;

    static JSON* CreateObject() { return new JSON(JSON_Object); }
    static JSON* CreateArray() { return new JSON(JSON_Array); }

    // A new root with one reference, or null; error (when given) then points to a static text
    // saying why, or to null after an allocation failure of the root. Text after the first
    // complete value is ignored.
    static JSON* Parse(const char* text, const char** error = nullptr);
    // The parsed root of a whole file, or null when the file cannot be read or parsed.
    static JSON* Load(const char* path, const char** error = nullptr);
    // Writes the tree formatted, replacing the file whole (see SysFile::ReplaceContents); false
    // with a log line when it cannot be printed or written, and the old file stays as it was.
    bool Save(const char* path);

    // The tree printed as text, tab-indented when formatted; the caller frees the result with
    // std::free. Null when memory runs out, and for a tree with containers nested deeper than
    // MaxDepth, which the reader would refuse.
    char* WriteValue(int depth, bool formatted) const;
    // Appends the printed text to buffer; false when memory runs out.
    bool WriteValue(StringBuffer& buffer, int depth, bool formatted) const;

    // Building: each adds a new child (named when name is not null) and returns it, or null
    // when memory runs out.
    JSON* AddItem(const char* name, JSON* item); // takes over the caller's reference to item
    JSON* AppendString(const char* name, const char* text);
    JSON* AddNumberItem(const char* name, double value);
    JSON* AddBoolItem(const char* name, bool value);
    JSON* AddNullItem(const char* name);
    JSON* AddObjectItem(const char* name) { return AddItem(name, CreateObject()); }
    JSON* AddArrayItem(const char* name) { return AddItem(name, CreateArray()); }

    // Reading: children in order; lookups return null when there is no such child.
    int GetItemCount() const;
    JSON* GetFirstItem() const { return Children.GetFirst(); }
    JSON* GetNextItem(const JSON* item) const { return Children.GetNext(item); }
    JSON* GetItemByIndex(int index) const;
    JSON* GetItemByName(const char* name) const;

    // Writes one number the way the printer does (no terminating zero) into NumberTextSize
    // bytes; the length written. "%.0f" of a number below 1e60 takes up to 61 of them. A finite
    // number reads back exactly: the classic forms ("%d", "%.0f", "%f", "%e") where they do,
    // else the shortest text that does.
    enum { NumberTextSize = 72 };
    static int FormatNumber(double value, char* out);
};

} // namespace Visor
