// The access-check model against worked cases from Microsoft's documentation of the rules
// ("How DACLs Control Access to an Object", "DACLs and ACEs", "ACE Inheritance Rules", the
// OWNER RIGHTS SID, the generic mapping of file objects).

#include "support/access_model.h"

#include <gtest/gtest.h>

namespace velmora::test::acl {
namespace {

const std::string kAndrew = "S-1-5-21-9-9-9-1100";
const std::string kGroupA = "S-1-5-21-9-9-9-2000";

Token Member(const std::string& user, std::vector<std::string> groups) {
    groups.push_back(SidOf("WD"));
    return {user, groups, user};
}

TEST(AccessModel, DeniesAndAllowsInTheOrderOfTheList) {
    // "How DACLs Control Access": ACE 1 denies Andrew, ACE 2 allows Group A write, ACE 3
    // allows Everyone read and execute. "DACLs and ACEs": the rights of several ACEs add up.
    const Descriptor dacl =
        ParseSddl("O:BAD:(D;;GRGWGX;;;" + kAndrew + ")(A;;GW;;;" + kGroupA + ")(A;;GRGX;;;WD)");
    const Token andrew = Member(kAndrew, {kGroupA});
    const Token other = Member("S-1-5-21-9-9-9-1200", {kGroupA});
    struct Case {
        const Token& token;
        Mask desired;
        bool granted;
    } cases[] = {
        {andrew, kGenericRead, false},
        {andrew, kSynchronize, false},  // in the denied generic rights once mapped
        {other, kGenericRead | kGenericWrite | kGenericExecute, true},
        {other, kWriteDac, false},  // nobody allowed it; not the owner
        {Member("S-1-5-21-9-9-9-1300", {}), kGenericWrite, false},
        {Member("S-1-5-21-9-9-9-1300", {}), kGenericRead, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AccessCheck(dacl, c.token, c.desired), c.granted)
            << c.token.user << " asks 0x" << std::hex << c.desired;
    }
    EXPECT_FALSE(AccessCheck(ParseSddl("O:BAD:"), other, kReadData)) << "an empty DACL";
}

TEST(AccessModel, TheOwnerMayReadAndChangeTheDaclUnlessOwnerRightsSaysOtherwise) {
    const Token owner = Member(kAndrew, {});
    const Descriptor plain = ParseSddl("O:" + kAndrew + "D:(D;;FA;;;WD)");
    EXPECT_TRUE(AccessCheck(plain, owner, kReadControl | kWriteDac));
    EXPECT_FALSE(AccessCheck(plain, owner, kReadData));
    const Descriptor limited = ParseSddl("O:" + kAndrew + "D:(A;;FR;;;OW)");
    EXPECT_TRUE(AccessCheck(limited, owner, kReadData | kReadControl));
    EXPECT_FALSE(AccessCheck(limited, owner, kWriteDac));
}

TEST(AccessModel, GenericRightsMapToFileRights) {
    EXPECT_EQ(MapGeneric(kGenericRead), 0x120089u);
    EXPECT_EQ(MapGeneric(kGenericWrite), 0x120116u);
    EXPECT_EQ(MapGeneric(kGenericExecute), 0x1200A0u);
    EXPECT_EQ(MapGeneric(kGenericAll | kDelete), 0x1F01FFu);
    EXPECT_EQ(ParseSddl("D:(A;;FX;;;WD)").dacl[0].mask, kFileGenericExecute);
    EXPECT_THROW(ParseSddl("D:(A;;QQ;;;WD)"), std::invalid_argument);
}

TEST(AccessModel, NewFilesAndFoldersInheritByTheRules) {
    const Token admin = ElevatedAdministrator();
    const Descriptor parent = ParseSddl(
        "O:BAD:P(A;OI;FR;;;BU)(A;CI;FW;;;AU)(A;OICINP;FX;;;IU)(A;OICIIO;GA;;;CO)"
        "(A;;FA;;;BA)");
    const std::string bu = SidOf("BU"), au = SidOf("AU"), iu = SidOf("IU"), ba = SidOf("BA");
    // A file takes the object-inherit ACEs, effective; CREATOR OWNER becomes its owner.
    EXPECT_EQ(DescriptorOfNew(parent, false, admin).dacl,
              (std::vector<Ace>{{true, kInherited, kFileGenericRead, bu},
                                {true, kInherited, kFileGenericExecute, iu},
                                {true, kInherited, kFileAllAccess, ba}}));
    // A folder: container-inherit ACEs effective and passed on; object-inherit ones passed on
    // only (inherit-only); no-propagate ends with this child; CREATOR OWNER split in two.
    EXPECT_EQ(
        DescriptorOfNew(parent, true, admin).dacl,
        (std::vector<Ace>{{true, kInherited | kObjectInherit | kInheritOnly, kFileGenericRead, bu},
                          {true, kInherited | kContainerInherit, kFileGenericWrite, au},
                          {true, kInherited, kFileGenericExecute, iu},
                          {true, kInherited, kFileAllAccess, ba},
                          {true, kInherited | kObjectInherit | kContainerInherit | kInheritOnly,
                           kGenericAll, SidOf("CO")}}));
    // Given at creation: explicit ACEs first, then the inherited ones, unless protected.
    const Descriptor given = ParseSddl("O:SYD:(A;;FA;;;SY)");
    EXPECT_EQ(DescriptorOfNew(parent, false, admin, given).dacl.size(), 4u);
    EXPECT_EQ(DescriptorOfNew(parent, false, admin, given).owner, SidOf("SY"));
    EXPECT_EQ(DescriptorOfNew(parent, false, admin, ParseSddl("D:P(A;;FA;;;SY)")).dacl.size(), 1u);
}

TEST(AccessModel, RenameNeedsDeleteOnTheFileAndAddFileOnTheFolder) {
    const Token user = StandardUser();
    const Descriptor file = ParseSddl("O:BAD:(A;;0x130197;;;BU)");  // may delete
    const Descriptor keep = ParseSddl("O:BAD:(A;;0x120089;;;BU)");  // may not
    const Descriptor addFiles = ParseSddl("O:BAD:(A;;0x1200ab;;;BU)");
    const Descriptor readOnly = ParseSddl("O:BAD:(A;;0x1200a9;;;BU)");
    const Descriptor deleteChild = ParseSddl("O:BAD:(A;;0x1200eb;;;BU)");
    EXPECT_TRUE(CanRename(file, addFiles, addFiles, user));
    EXPECT_FALSE(CanRename(file, addFiles, readOnly, user));
    EXPECT_FALSE(CanRename(keep, addFiles, addFiles, user));
    EXPECT_TRUE(CanRename(keep, deleteChild, deleteChild, user));
    EXPECT_FALSE(CanRename(file, addFiles, addFiles, user, keep)) << "replacing a kept file";
    EXPECT_TRUE(CanCreateIn(addFiles, user, false));
    EXPECT_FALSE(CanCreateIn(addFiles, user, true));
}

}  // namespace
}  // namespace velmora::test::acl
