// Layer stacks: linking at every kind of position, unlinking, deleting and
// resetting, with the link invariants checked after every operation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "layers.h"
#include "module.h"

namespace {

// A stack built from layers tagged through their intensity, so that the order
// can be read back as a list of tags.
class Stack : public ::testing::Test {
protected:
  SBEntry entry{0.0, 1, nullptr};

  void TearDown() override { DelAllLayer(&entry); }

  // Appends a tagged layer at the end of the stack.
  Layer *Push(double tag) {
    Layer *layer = AddLayer(&entry, 1 << 20);
    layer->intensity = tag;
    return layer;
  }

  std::vector<double> Tags() const {
    std::vector<double> tags;
    for (const Layer *l = entry.head; l != nullptr; l = l->next) tags.push_back(l->intensity);
    return tags;
  }

  // The stack's links are consistent both ways: head has no prev, every next's
  // prev points back, and the walk back from the last layer visits the same
  // layers in reverse.
  void ExpectLinked() const {
    if (entry.head == nullptr) return;
    EXPECT_EQ(entry.head->prev, nullptr) << "the first layer must have no prev";
    std::vector<const Layer *> forward;
    for (const Layer *l = entry.head; l != nullptr; l = l->next) {
      if (l->next != nullptr) {
        EXPECT_EQ(l->next->prev, l) << "broken prev link after a layer";
      }
      forward.push_back(l);
    }
    std::vector<const Layer *> backward;
    for (const Layer *l = forward.back(); l != nullptr; l = l->prev) backward.push_back(l);
    ASSERT_EQ(backward.size(), forward.size()) << "walking back gives another number of layers";
    for (size_t i = 0; i < forward.size(); ++i) {
      EXPECT_EQ(backward[i], forward[forward.size() - 1 - i]);
    }
  }
};

using Order = std::vector<double>;

TEST_F(Stack, EmptyStackHasNoLayersAndTakesAnyPosition) {
  EXPECT_EQ(GetLayerNum(&entry), 0);
  EXPECT_EQ(GetLayer(&entry, 0), nullptr);
  EXPECT_EQ(GetLayer(&entry, -1), nullptr);
  DelAllLayer(&entry);
  DelLayer(&entry, 0);
  EXPECT_EQ(UnLinkLayer(&entry, -1), nullptr);
  EXPECT_EQ(entry.head, nullptr);

  Layer *only = AddLayer(&entry, 5);
  ASSERT_NE(only, nullptr);
  EXPECT_EQ(entry.head, only);
  EXPECT_EQ(only->prev, nullptr);
  EXPECT_EQ(only->next, nullptr);
  EXPECT_EQ(GetLayerNum(&entry), 1);
}

TEST_F(Stack, NewLayerCarriesTheDefaults) {
  const Layer *l = AddLayer(&entry, 0);
  EXPECT_EQ(l->type, 0);
  EXPECT_EQ(l->active, 1);
  EXPECT_EQ(l->color[0], 255);
  EXPECT_EQ(l->color[1], 255);
  EXPECT_EQ(l->color[2], 255);
  EXPECT_EQ(l->intensity, 100.0);
  EXPECT_EQ(l->mode, 0);
  EXPECT_EQ(l->inBuffer, 0);
  EXPECT_EQ(l->invert, 0);
  EXPECT_EQ(l->alphaBuffer, 0);
  EXPECT_EQ(l->alphaIntensity, 100.0);
  EXPECT_EQ(l->alphaInvert, 0);
}

TEST_F(Stack, AddAtZeroGoesOnTop) {
  Push(0);
  Push(1);
  AddLayer(&entry, 0)->intensity = 9;
  EXPECT_EQ(Tags(), (Order{9, 0, 1}));
  ExpectLinked();
}

TEST_F(Stack, AddInsideTakesThatPosition) {
  Push(0);
  Layer *l1 = Push(1);
  Layer *n = AddLayer(&entry, 1);
  n->intensity = 9;
  EXPECT_EQ(Tags(), (Order{0, 9, 1}));
  EXPECT_EQ(l1->prev, n) << "walking back from L1 must reach the new layer";
  EXPECT_EQ(n->prev, entry.head) << "and then L0";
  ExpectLinked();
}

TEST_F(Stack, AddBeyondTheCountAppends) {
  Push(0);
  Push(1);
  AddLayer(&entry, 7)->intensity = 9;
  EXPECT_EQ(Tags(), (Order{0, 1, 9}));
  ExpectLinked();
}

TEST_F(Stack, AddAtMinusOneGoesJustBeforeTheLast) {
  Push(0);
  Push(1);
  Push(2);
  AddLayer(&entry, -1)->intensity = 9;
  EXPECT_EQ(Tags(), (Order{0, 1, 9, 2}));
  ExpectLinked();
}

TEST_F(Stack, AddBelowMinusOneGoesOnTop) {
  Push(0);
  Push(1);
  AddLayer(&entry, -7)->intensity = 9;
  EXPECT_EQ(Tags(), (Order{9, 0, 1}));
  ExpectLinked();
}

TEST_F(Stack, GetFindsByPosition) {
  Layer *l0 = Push(0);
  Layer *l1 = Push(1);
  Layer *l2 = Push(2);
  EXPECT_EQ(GetLayer(&entry, 0), l0);
  EXPECT_EQ(GetLayer(&entry, 1), l1);
  EXPECT_EQ(GetLayer(&entry, -1), l2) << "-1 names the last layer";
  EXPECT_EQ(GetLayer(&entry, 3), nullptr) << "the count names no layer";
  EXPECT_EQ(GetLayer(&entry, -3), l0) << "below -1 counts as 0";
  EXPECT_EQ(GetLayerNum(&entry), 3);
}

TEST_F(Stack, UnlinkAndInsertMoveALayer) {
  Push(0);
  Push(1);
  Layer *l2 = Push(2);
  Layer *moved = UnLinkLayer(&entry, 2);
  ASSERT_EQ(moved, l2);
  EXPECT_EQ(moved->prev, nullptr);
  EXPECT_EQ(moved->next, nullptr);
  EXPECT_EQ(Tags(), (Order{0, 1}));
  ExpectLinked();
  InsertLayer(&entry, 1, moved);
  EXPECT_EQ(Tags(), (Order{0, 2, 1}));
  ExpectLinked();
}

TEST_F(Stack, UnlinkTheHeadAndInsertItSecond) {
  Push(0);
  Push(1);
  Layer *head = UnLinkLayer(&entry, 0);
  EXPECT_EQ(Tags(), (Order{1}));
  ExpectLinked();
  InsertLayer(&entry, 1, head);
  EXPECT_EQ(Tags(), (Order{1, 0}));
  ExpectLinked();
}

TEST_F(Stack, InsertIntoAnEmptyStackMakesTheOnlyLayer) {
  SBEntry other{0.0, 0, nullptr};
  Layer *l = AddLayer(&other, 0);
  Layer *free_layer = UnLinkLayer(&other, 0);
  ASSERT_EQ(free_layer, l);
  EXPECT_EQ(other.head, nullptr);
  InsertLayer(&entry, 3, free_layer);
  EXPECT_EQ(entry.head, l);
  EXPECT_EQ(GetLayerNum(&entry), 1);
}

TEST_F(Stack, UnlinkOrDeleteBeyondTheEndChangesNothing) {
  Push(0);
  Push(1);
  EXPECT_EQ(UnLinkLayer(&entry, 2), nullptr);
  DelLayer(&entry, 5);
  EXPECT_EQ(Tags(), (Order{0, 1}));
  ExpectLinked();
}

TEST_F(Stack, DeleteFromEveryPlace) {
  for (int i = 0; i < 5; ++i) Push(i);
  DelLayer(&entry, 2); // middle
  EXPECT_EQ(Tags(), (Order{0, 1, 3, 4}));
  ExpectLinked();
  DelLayer(&entry, 0); // head
  EXPECT_EQ(Tags(), (Order{1, 3, 4}));
  ExpectLinked();
  DelLayer(&entry, -1); // last
  EXPECT_EQ(Tags(), (Order{1, 3}));
  ExpectLinked();
  EXPECT_EQ(GetLayer(&entry, -1)->next, nullptr);
}

TEST_F(Stack, DeletingTheOnlyLayerEmptiesTheStack) {
  Push(0);
  DelLayer(&entry, -1);
  EXPECT_EQ(entry.head, nullptr);
  EXPECT_EQ(GetLayerNum(&entry), 0);
}

TEST_F(Stack, DeleteAllEmptiesTheStack) {
  for (int i = 0; i < 4; ++i) Push(i);
  DelAllLayer(&entry);
  EXPECT_EQ(entry.head, nullptr);
  EXPECT_EQ(GetLayerNum(&entry), 0);
}

TEST_F(Stack, ClearResetsPropertiesButKeepsThePlace) {
  Push(0);
  Layer *mid = Push(1);
  Push(2);
  mid->type = 1;
  mid->active = 0;
  mid->color[1] = 3;
  mid->mode = 7;
  mid->inBuffer = 4;
  mid->invert = 1;
  mid->alphaBuffer = 12;
  mid->alphaIntensity = 5.0;
  mid->alphaInvert = 1;
  Layer *prev = mid->prev;
  Layer *next = mid->next;
  EXPECT_EQ(ClearLayer(mid), mid);
  EXPECT_EQ(mid->prev, prev);
  EXPECT_EQ(mid->next, next);
  EXPECT_EQ(mid->type, 0);
  EXPECT_EQ(mid->active, 1);
  EXPECT_EQ(mid->color[1], 255);
  EXPECT_EQ(mid->intensity, 100.0);
  EXPECT_EQ(mid->mode, 0);
  EXPECT_EQ(mid->inBuffer, 0);
  EXPECT_EQ(mid->invert, 0);
  EXPECT_EQ(mid->alphaBuffer, 0);
  EXPECT_EQ(mid->alphaIntensity, 100.0);
  EXPECT_EQ(mid->alphaInvert, 0);
  ExpectLinked();
}

} // namespace
