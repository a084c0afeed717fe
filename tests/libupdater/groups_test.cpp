// The group order, group look-up and the pending-work rules.
#include <string>

#include "engine_test_util.h"

using enginetest::Doc;
using enginetest::FileV2;
using enginetest::Group;
using enginetest::GroupOrder;
using enginetest::Sha;
using Groups = enginetest::ParseFixture;

TEST_F(Groups, SortByPriorityThenCaseFoldedNameThenReverseDocumentOrder) {
  Doc doc;
  doc.groups = Group("low", "priority=\"10\"");
  for (const char* name : {"Extras", "addons", "Base2", "Base", "b", "a", "A"}) {
    doc.groups += Group(name, std::string("dispName=\"") + name + "\"");
  }
  doc.groups += Group("top", "priority=\"60\"") + Group("LOW", "priority=\"20\"");
  ASSERT_TRUE(Parse(doc));
  EXPECT_EQ(GroupOrder(updater), "top,A,a,addons,b,Base,Base2,Extras,LOW,low");
  EXPECT_FALSE(updater.HasWork());  // no files, nothing outdated
  // FindGroup ignores case and takes the first in list order.
  ASSERT_NE(updater.FindGroup("low"), nullptr);
  EXPECT_EQ(updater.FindGroup("low")->name, "LOW");
  EXPECT_EQ(updater.FindGroup("lo"), nullptr);
  EXPECT_EQ(updater.FindGroup(nullptr), nullptr);
}

// Names that differ in case only: a file's group is the one FindGroup
// finds, the first in the sorted list, whatever the document order.
TEST_F(Groups, FileGroupsAreTheFirstInListOrderWithoutRegardToCase) {
  struct {
    const char* name;
    int priority;
  } groups[] = {{"core", 10}, {"CORE", 90}, {"Core", 90}, {"tools", 50}, {"TOOLS", 50}};
  Doc doc;
  doc.groups = "";
  for (const auto& group : groups) {
    doc.groups += Group(group.name, "priority=\"" + std::to_string(group.priority) + "\"");
  }
  const char* lists[] = {"core", "cOrE", "Tools", "TOOLS,core,missing,tools"};
  for (const char* list : lists) {
    doc.files += FileV2("f", "0", std::string("group=\"") + list + "\"");
  }
  ASSERT_TRUE(Parse(doc)) << Error();
  // Equal names sort in reverse document order.
  EXPECT_EQ(GroupOrder(updater), "Core,CORE,TOOLS,tools,core");
  UpdateGroup* core = updater.GetFirstGroup();
  UpdateGroup* tools = core->next->next;
  const std::vector<UpdateGroup*> want[] = {{core}, {core}, {tools}, {tools, core, tools}};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(FileAt(i)->groups, want[i]) << lists[i];
}

// Files over groups A and B, installed current, stale or missing.
class PendingWork : public enginetest::ParseFixture {
 protected:
  Doc MakeDoc(int stateA, int stateB) {
    for (const char* path : {"free-ok", "a-ok", "ab-ok"}) Put(path, "ok");
    for (const char* path : {"a-stale", "ab-stale"}) Put(path, "old");
    const std::string ok = Sha("ok");
    Doc doc;
    doc.groups = Group("A", "default=\"" + std::to_string(stateA) + "\"") +
                 Group("B", "default=\"" + std::to_string(stateB) + "\"");
    doc.files = FileV2("free", ok) + FileV2("free-ok", ok) +
                FileV2("a-missing", ok, "group=\"A\"") + FileV2("a-stale", ok, "group=\"A\"") +
                FileV2("a-ok", ok, "group=\"a\"") + FileV2("ab-missing", ok, "group=\"A,B\"") +
                FileV2("ab-stale", ok, "group=\"A,B\"") + FileV2("ab-ok", ok, "group=\"b,a\"");
    return doc;
  }
};

TEST_F(PendingWork, CountsEveryCombinationOfGroupStates) {
  // pendingCount for (A, B) = (None, None), (None, Install), ...
  const int expected[3][3] = {{1, 3, 1}, {5, 5, 5}, {3, 5, 5}};
  ASSERT_TRUE(Parse(MakeDoc(0, 0)));
  UpdateGroup* a = updater.FindGroup("A");
  UpdateGroup* b = updater.FindGroup("B");
  for (int sa = 0; sa < 3; ++sa) {
    for (int sb = 0; sb < 3; ++sb) {
      updater.SetGroupState(a, static_cast<GroupState>(sa));
      updater.SetGroupState(b, static_cast<GroupState>(sb));
      EXPECT_EQ(updater.pendingCount, expected[sa][sb]) << sa << "," << sb;
      Updater fresh;
      fresh.Init("", dir.base().c_str(), "", "", nullptr);
      fresh.infoText = MakeDoc(sa, sb).Text();
      ASSERT_TRUE(fresh.ParseInfo());
      EXPECT_EQ(fresh.pendingCount, expected[sa][sb]) << "parsed " << sa << "," << sb;
    }
  }
  // A = Remove, B = Install; a file without groups is never removed.
  updater.SetGroupState(a, Remove);
  updater.SetGroupState(b, Install);
  const bool install[] = {true, false, false, false, false, true, true, false};
  const bool remove[] = {false, false, false, true, true, false, false, false};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(updater.IsToInstall(FileAt(i)), install[i]) << FileAt(i)->path;
    EXPECT_EQ(updater.IsMarkedForDeletion(FileAt(i)), remove[i]) << FileAt(i)->path;
  }
}

TEST_F(PendingWork, MarkedFilesCountOnlyWhileTheyExistAndNullGroupRecounts) {
  ASSERT_TRUE(Parse(MakeDoc(2, 2)));
  EXPECT_EQ(updater.pendingCount, 5);
  EXPECT_TRUE(updater.HasWork());
  ASSERT_EQ(remove((dir / "ab-ok").c_str()), 0);
  ASSERT_EQ(remove((dir / "a-ok").c_str()), 0);
  UpdateGroup* a = updater.FindGroup("A");
  updater.SetGroupState(nullptr, Install);
  EXPECT_EQ(updater.pendingCount, 3);
  EXPECT_EQ(a->state, Remove) << "a null group changes no state";
  a->state = Install;
  updater.SetGroupState(nullptr, None);
  EXPECT_EQ(updater.pendingCount, 5);
}
