// Reference counting: counts, deletion inside the releasing call, and cascades through holders.
#include "render/shareable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ombrel::Ref;

std::vector<std::string> events;

// Records its destruction; `held` lets one object keep another alive, like a batch its material.
struct Tracked : ombrel::Shareable {
    explicit Tracked(std::string n) : name(std::move(n)) {}
    ~Tracked() override { events.push_back(name); }
    std::string name;
    Ref<Tracked> held;
};

TEST(RefCounting, LastReleaseDeletesInsideTheCallAndCascadesThroughHolders) {
    events.clear();
    Ref<Tracked> batch = new Tracked("batch");
    Ref<Tracked> copy = batch;
    batch->held = new Tracked("material");
    batch->held->held = new Tracked("program");
    Ref<Tracked> program = batch->held->held;
    EXPECT_EQ(batch->refCount(), 2);
    batch = nullptr;
    EXPECT_TRUE(events.empty());
    copy = new Tracked("other"); // replacing the last reference deletes during the assignment
    EXPECT_EQ(events, (std::vector<std::string>{"batch", "material"}));
    EXPECT_EQ(program->refCount(), 1);
    // Self-assignment, through a raw pointer, an alias or a move, never drops the object.
    Tracked* raw = copy.get();
    copy = raw;
    copy = static_cast<const Ref<Tracked>&>(copy);
    copy = std::move(copy);
    EXPECT_EQ(raw->refCount(), 1);
    // An object kept alive only by the old one survives being assigned over it.
    copy->held = new Tracked("inner");
    copy = copy->held;
    EXPECT_EQ(events.back(), "other");
    EXPECT_EQ(copy->name, "inner");
    EXPECT_EQ(copy->refCount(), 1);
}

} // namespace
