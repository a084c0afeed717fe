// The group order, group look-up and the pending-work rules.
#include <string>

#include "engine_test_util.h"

using enginetest::Doc;
using enginetest::FileV2;
using enginetest::Group;
using enginetest::GroupOrder;
using enginetest::Sha;
using Groups = enginetest::ParseFixture;

// Equal names sort in reverse document order, and a file's group is the
// first of its name in the sorted list, without regard to case.
TEST_F(Groups, SortByPriorityThenCaseFoldedNameThenReverseDocumentOrder) {
  Doc doc;
  doc.groups = Group("low", "priority=\"10\"");
  for (const char* name : {"Extras", "addons", "Base2", "Base", "b", "a", "A"}) {
    doc.groups += Group(name, std::string("dispName=\"") + name + "\"");
  }
  doc.groups += Group("top", "priority=\"60\"") + Group("LOW", "priority=\"20\"") +
                Group("Top", "priority=\"60\"") + Group("tOP", "priority=\"60\"");
  doc.files = FileV2("f", "0", "group=\"top\"") + FileV2("g", "0", "group=\"LOW,,a,nope,top,\"");
  ASSERT_TRUE(Parse(doc));
  EXPECT_EQ(GroupOrder(updater), "tOP,Top,top,A,a,addons,b,Base,Base2,Extras,LOW,low");
  UpdateGroup* top = updater.GetFirstGroup();
  UpdateGroup* low = updater.groupsTail->prev;
  UpdateGroup* a = top->next->next->next;
  EXPECT_EQ(FileAt(0)->groups, std::vector<UpdateGroup*>{top});
  EXPECT_EQ(FileAt(1)->groups, (std::vector<UpdateGroup*>{low, a, top}));
}

// Files over groups A and B, installed current, stale or missing: the work
// pending for every pair of group states, as parsed and as set afterwards.
TEST_F(Groups, CountsPendingWorkForEveryCombinationOfGroupStates) {
  for (const char* path : {"free-ok", "a-ok", "ab-ok"}) Put(path, "ok");
  for (const char* path : {"a-stale", "ab-stale"}) Put(path, "old");
  const std::string ok = Sha("ok");
  Doc doc;
  doc.files = FileV2("free", ok) + FileV2("free-ok", ok) + FileV2("a-missing", ok, "group=\"A\"") +
              FileV2("a-stale", ok, "group=\"A\"") + FileV2("a-ok", ok, "group=\"a\"") +
              FileV2("ab-missing", ok, "group=\"A,B\"") + FileV2("ab-stale", ok, "group=\"A,B\"") +
              FileV2("ab-ok", ok, "group=\"b,a\"");
  // pendingCount for (A, B) = (None, None), (None, Install), ...
  const int expected[3][3] = {{1, 3, 1}, {5, 5, 5}, {3, 5, 5}};
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      doc.groups = Group("A", "default=\"" + std::to_string(a) + "\"") +
                   Group("B", "default=\"" + std::to_string(b) + "\"");
      updater.Init("", dir.base().c_str(), "", "", nullptr);
      ASSERT_TRUE(Parse(doc));
      EXPECT_EQ(updater.pendingCount, expected[a][b]) << a << "," << b;
    }
  }
  // Files marked for removal are work only while they exist.
  ASSERT_EQ(unlink((dir / "ab-ok").c_str()), 0);
  updater.SetAllGroupStates(Remove);
  EXPECT_EQ(updater.pendingCount, 4);
  updater.SetAllGroupStates(Install);
  EXPECT_EQ(updater.pendingCount, 5);
}
