// The access-check model against worked cases from Microsoft's documentation of the rules
// ("How DACLs Control Access to an Object", "DACLs and ACEs", "ACE Inheritance Rules", the
// OWNER RIGHTS SID, the generic mapping of file objects, "Automatic Propagation of Inheritable
// ACEs", CreateHardLinkW, CreateFileW, and the file-system algorithms of [MS-FSA]: opening an
// existing file, FileLinkInformation, FSCTL_SET_REPARSE_POINT).

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
    // A creator may give a protected DACL of their choosing: one that shuts out everyone else,
    // which a move into another folder keeps (a move changes no descriptor).
    const Descriptor hostile = DescriptorOfNew(parent, false, Member(kAndrew, {}),
                                               ParseSddl("D:P(A;;FA;;;" + kAndrew + ")"));
    EXPECT_TRUE(AccessCheck(hostile, Member(kAndrew, {}), kGenericAll));
    EXPECT_FALSE(AccessCheck(hostile, admin, kGenericRead));
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

// What the attacks use. The volume's first object is its root; every object below is made by an
// administrator with the descriptor given (protected, so exactly that one) unless said otherwise.
struct Disk {
    Token admin = ElevatedAdministrator();
    Token user = StandardUser();
    Volume volume{{.sd = ParseSddl("O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"), .container = true}};
    std::size_t Folder(const std::string& name, const std::string& sddl, std::size_t in = 0) {
        return Make(volume, in, name, true, admin, ParseSddl(sddl));
    }
    std::size_t Link(std::size_t target) {
        volume.push_back({.sd = ParseSddl("O:BAD:(A;;FA;;;WD)"), .reparseTo = target});
        return volume.size() - 1;
    }
};

// CreateHardLinkW: the descriptor belongs to the file, not to a name; FileLinkInformation checks
// the add-file right of the new name's folder and asks no right of the open file.
TEST(AccessModel, AHardLinkNeedsTheFoldersAddFileRightAndNothingOfTheFile) {
    Disk d;
    const std::size_t locked = d.Folder("locked", "O:SYD:P(A;OICI;FA;;;SY)");
    const std::size_t secret = Make(d.volume, locked, "secret", false, LocalSystem());
    const std::size_t addFiles = d.Folder("add", "O:BAD:P(A;;0x1200ab;;;BU)");
    const std::size_t readOnly = d.Folder("read", "O:BAD:P(A;;0x1200a9;;;BU)");
    ASSERT_FALSE(AccessCheck(d.volume[secret].sd, d.user, kReadAttributes));
    const struct {
        std::size_t file, folder;
        bool linked;
    } cases[] = {{secret, addFiles, true}, {secret, readOnly, false}, {readOnly, addFiles, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(CanHardLink(d.volume, c.file, c.folder, d.user), c.linked) << c.file << c.folder;
    }
}

// FSCTL_SET_REPARSE_POINT: the open must hold FILE_WRITE_DATA or FILE_WRITE_ATTRIBUTES; a mount
// point only on a folder, and only an empty one.
TEST(AccessModel, AMountPointNeedsAnEmptyFolderAndWriteDataOrAttributes) {
    const struct {
        const char* sddl;
        bool container, empty, made;
    } cases[] = {
        {"O:BAD:P(A;;0x2;;;BU)", true, true, true},
        {"O:BAD:P(A;;0x100;;;BU)", true, true, true},
        {"O:BAD:P(A;;0x1200a9;;;BU)", true, true, false},
        {"O:BAD:P(A;;0x2;;;BU)", true, false, false},
        {"O:BAD:P(A;;0x2;;;BU)", false, true, false},
    };
    for (const auto& c : cases) {
        Disk d;
        const std::size_t object = Make(d.volume, 0, "x", c.container, d.admin, ParseSddl(c.sddl));
        if (!c.empty) {
            Make(d.volume, object, "file", false, d.admin);
        }
        EXPECT_EQ(CanMakeMountPoint(d.volume, object, d.user), c.made) << c.sddl << c.empty;
    }
}

// "Automatic Propagation of Inheritable ACEs": an inheritable ACE added to a folder is applied to
// the existing files and folders below, one removed takes its copies away, the objects' own ACEs
// stay ahead of the inherited ones; a protected DACL inherits nothing. A hard link's file is the
// one object, so a folder holding one of its names changes it for all.
TEST(AccessModel, AFolderDescriptorReachesWhatIsBelowItOnlyWhenPropagated) {
    for (const bool toChildren : {false, true}) {
        Disk d;
        const std::size_t a = d.Folder("a", "O:BAD:P(A;OICI;FA;;;SY)");
        const std::size_t own =
            Make(d.volume, a, "own", false, d.admin, ParseSddl("D:(A;;FR;;;IU)"));
        const std::size_t deep =
            Make(d.volume, d.Folder("sub", "O:BAD:(A;;FR;;;IU)", a), "deep", false, d.admin);
        const std::size_t kept =
            Make(d.volume, a, "kept", false, d.admin, ParseSddl("D:P(A;;FA;;;SY)"));
        const std::size_t b = d.Folder("b", "O:BAD:P(A;OICI;FA;;;BA)");
        d.volume[b].names.emplace("alias", own);  // a second name for `own`
        const Volume before = d.volume;
        SetFolderDescriptor(d.volume, a, ParseSddl("O:BAD:P(A;OICI;FA;;;BU)"), toChildren);
        const Ace bu{true, kInherited, kFileAllAccess, SidOf("BU")};
        const Ace iu{true, 0, kFileGenericRead, SidOf("IU")};
        EXPECT_EQ(d.volume[own].sd.dacl, toChildren ? (std::vector{iu, bu}) : before[own].sd.dacl);
        EXPECT_EQ(d.volume[deep].sd.dacl, toChildren ? std::vector{bu} : before[deep].sd.dacl);
        EXPECT_EQ(d.volume[kept].sd.dacl, before[kept].sd.dacl);
        // Set again on b, where the file has its other name: seen through its name in a.
        SetFolderDescriptor(d.volume, b, d.volume[b].sd, toChildren);
        const Ace ba{true, kInherited, kFileAllAccess, SidOf("BA")};
        EXPECT_EQ(d.volume[d.volume[a].names.at("own")].sd.dacl,
                  toChildren ? (std::vector{iu, ba}) : before[own].sd.dacl);
    }
}

// [MS-FSA] "Algorithm to Check Access to an Existing File": a read-only data file refuses
// FILE_WRITE_DATA and FILE_APPEND_DATA, and FILE_DELETE_ON_CLOSE; deleting or replacing it fails
// too.
TEST(AccessModel, ReadOnlyRefusesWritingAndDeletingWhateverTheDaclGrants) {
    const struct {
        std::uint32_t attributes;
        Mask desired;
        bool allowed;
    } cases[] = {
        {kAttributeReadOnly, kWriteData, false},
        {kAttributeReadOnly, kAppendData, false},
        {kAttributeReadOnly, kDelete, false},
        {kAttributeReadOnly, kReadData | kWriteAttributes, true},
        {kAttributeHidden, kWriteData | kDelete, true},
        {0, kWriteData | kDelete, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AttributesAllow(c.attributes, c.desired), c.allowed)
            << c.attributes << " 0x" << std::hex << c.desired;
    }
}

// CreateFileW: with FILE_FLAG_OPEN_REPARSE_POINT "normal reparse point processing will not occur;
// CreateFile will attempt to open the reparse point"; without, [MS-FSA] reparses the open to the
// link's target. A loop of links opens nothing.
TEST(AccessModel, AnOpenFollowsLinksUnlessItAsksForTheLinkItself) {
    Disk d;
    const std::size_t target = Make(d.volume, 0, "target", false, d.admin);
    const std::size_t near = d.Link(target);
    const std::size_t far = d.Link(near);
    const std::size_t loop = d.Link(d.volume.size() + 1);
    d.Link(loop);
    const struct {
        std::size_t named;
        std::uint32_t flags;
        std::optional<std::size_t> opened;
    } cases[] = {
        {far, 0, target},
        {far, kOpenReparsePoint, far},
        {near, kDeleteOnClose, target},
        {near, kDeleteOnClose | kOpenReparsePoint, near},
        {target, 0, target},
        {loop, kDeleteOnClose, std::nullopt},
        {loop, kOpenReparsePoint, loop},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Opened(d.volume, c.named, c.flags), c.opened)
            << c.named << " 0x" << std::hex << c.flags;
    }
}

}  // namespace
}  // namespace velmora::test::acl
