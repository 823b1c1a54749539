// Reference counting: counts, deletion inside the releasing call, and cascades through holders.
#include "render/shareable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ombrel::Ref;
using ombrel::Shareable;

// Records its destruction so tests can see exactly when it happens.
class Tracked : public Shareable {
public:
    Tracked(std::vector<std::string>* events, std::string name)
        : events_(events), name_(std::move(name)) {}
    ~Tracked() override { events_->push_back("delete " + name_); }

    Ref<Tracked> held; // lets one object keep another alive, like a batch its material

private:
    std::vector<std::string>* events_;
    std::string name_;
};

class RefCounting : public ::testing::Test {
protected:
    Tracked* make(const char* name) { return new Tracked(&events, name); }
    std::vector<std::string> events;
};

} // namespace

TEST_F(RefCounting, CountsAndTheLastReleaseDeletesInsideTheCall) {
    Tracked* object = make("a");
    EXPECT_EQ(object->refCount(), 0);
    Ref<Tracked> first = object;
    Ref<Tracked> second = first;
    EXPECT_EQ(object->refCount(), 2);
    first = nullptr;
    EXPECT_TRUE(events.empty());
    second.reset();
    EXPECT_EQ(events, std::vector<std::string>{"delete a"});
    EXPECT_EQ(second, nullptr);
    // Replacing the only reference deletes the old object during the assignment.
    Ref<Tracked> ref = make("old");
    Tracked* replacement = make("new");
    ref = replacement;
    EXPECT_EQ(events, (std::vector<std::string>{"delete a", "delete old"}));
    EXPECT_EQ(replacement->refCount(), 1);
}

TEST_F(RefCounting, SelfAssignmentNeverDropsTheObject) {
    Ref<Tracked> only = make("a");
    Tracked* raw = only.get();
    only = raw;
    const Ref<Tracked>& alias = only;
    only = alias;
    only = std::move(only);
    EXPECT_EQ(raw->refCount(), 1);
    EXPECT_TRUE(events.empty());
}

TEST_F(RefCounting, AssigningAnObjectKeptAliveOnlyByTheOldOneIsSafe) {
    // The old object holds the last other reference to the new one; releasing the old one
    // first would delete the new one before it is stored.
    Ref<Tracked> ref = make("outer");
    ref->held = make("inner");
    ref = ref->held;
    EXPECT_EQ(events, std::vector<std::string>{"delete outer"});
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(ref->refCount(), 1);
}

TEST_F(RefCounting, DestroyingAHolderCascadesToWhatItHeldLast) {
    {
        Ref<Tracked> batch = make("batch");
        batch->held = make("material");
        batch->held->held = make("program");
        Ref<Tracked> keep = batch->held->held;
        batch = nullptr;
        EXPECT_EQ(events, (std::vector<std::string>{"delete batch", "delete material"}));
        EXPECT_EQ(keep->refCount(), 1);
    }
    EXPECT_EQ(events.back(), "delete program");
}

TEST_F(RefCounting, CopiesAndMovesOfRecordsKeepTheCountExact) {
    struct Record {
        Ref<Tracked> ref;
        int value = 0;
    };
    Tracked* object = make("a");
    std::vector<Record> records;
    records.push_back({object, 1});
    for (int i = 0; i < 20; ++i) // growth copies or moves the records
        records.push_back(records.front());
    EXPECT_EQ(object->refCount(), 21);
    Ref<Tracked> moved = std::move(records.front().ref);
    EXPECT_EQ(object->refCount(), 21);
    records.clear();
    EXPECT_EQ(object->refCount(), 1);
    EXPECT_TRUE(events.empty());
}
