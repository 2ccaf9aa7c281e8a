// What the installed programs may do on a real Windows machine, by the access-check model
// (support/access_model.h) driven with the descriptors the installer applies and the access
// that each of the programs' file calls asks for. Wine keeps no descriptors, so this is where
// these claims are checked.

#include <gtest/gtest.h>

#include "setup/installer_flow.h"
#include "support/access_model.h"

namespace velmora::setup {
namespace {

using namespace velmora::test::acl;

std::string Narrow(const wchar_t* wide) {
    std::string out;
    for (; *wide != 0; ++wide) {
        out += static_cast<char>(*wide);
    }
    return out;
}

// The installed tree as the installer makes it, each object with its descriptor at creation.
struct Installed {
    Token admin = ElevatedAdministrator();
    Token alice = StandardUser("S-1-5-21-1-2-3-1001");
    Token bob = StandardUser("S-1-5-21-1-2-3-1002");
    Descriptor drive = ParseSddl(
        "O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
        "(A;CI;0x100004;;;AU)(A;CIIO;0x10000000;;;AU)");
    Descriptor parent = DescriptorOfNew(drive, true, admin, ParseSddl(Narrow(kParentFolderSddl)));
    Descriptor programs =
        DescriptorOfNew(parent, true, admin, ParseSddl(Narrow(kInstallFolderSddl)));
    Descriptor data = DescriptorOfNew(programs, true, admin, ParseSddl("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200ab;;;BU)(A;OIIO;0x13019f;;;BU)(A;OIIO;0x13019f;;;OW)"));
    // Each written under its final descriptor from its first moment (SECURITY_ATTRIBUTES).
    Descriptor program =
        DescriptorOfNew(programs, false, admin, ParseSddl(Narrow(kProgramFileSddl)));
    Descriptor note = DescriptorOfNew(data, false, admin, ParseSddl(Narrow(kProgramFileSddl)));
};

// Every step of one append to the shared history, as the meter and velmora-cli make it,
// by `user`, to a history and a lock that `other` wrote last.
TEST(InstalledSecurity, EveryUsersRunIsStored) {
    const Installed t;
    for (const auto& [user, other] : {std::pair(t.alice, t.bob), std::pair(t.alice, t.alice)}) {
        const Descriptor history = DescriptorOfNew(t.data, false, other);
        const Descriptor temporary = DescriptorOfNew(t.data, false, user);
        // The lock: CreateFileW(GENERIC_READ | GENERIC_WRITE | DELETE, OPEN_ALWAYS), made new.
        EXPECT_TRUE(CanCreateIn(t.data, user, false)) << "the lock";
        // The read: std::ifstream, CreateFileW(GENERIC_READ).
        EXPECT_TRUE(AccessCheck(history, user, kGenericRead | kCreateFileAdds)) << "the read";
        // The new contents: CreateFileW(GENERIC_WRITE, CREATE_ALWAYS) of a new name.
        EXPECT_TRUE(CanCreateIn(t.data, user, false)) << "the temporary";
        // The swap: MoveFileExW(temporary, history, REPLACE_EXISTING | WRITE_THROUGH).
        EXPECT_TRUE(CanRename(temporary, t.data, t.data, user, history)) << "the swap";
        // A damaged history kept aside: std::filesystem::rename to history.damaged.bak.
        EXPECT_TRUE(CanRename(history, t.data, t.data, user)) << "the backup";
        // Nobody locks the others out of it.
        EXPECT_FALSE(AccessCheck(history, user, kWriteDac)) << "the history's DACL";
        EXPECT_FALSE(AccessCheck(history, user, kWriteOwner));
    }
}

TEST(InstalledSecurity, NoUserCanPlantOrChangeCode) {
    const Installed t;
    for (const Token& user : {t.alice, t.bob}) {
        // Where the programs load code from: nothing new by creating, renaming, moving or
        // hard-linking a name in (each needs the folder's add-file right).
        EXPECT_FALSE(CanCreateIn(t.programs, user, false));
        EXPECT_FALSE(CanCreateIn(t.programs, user, true));
        EXPECT_FALSE(CanCreateIn(t.parent, user, true)) << "a folder beside the programs'";
        // The programs and their folders: not written, replaced, renamed away or re-permitted.
        for (const Mask right :
             {kWriteData, kAppendData, kWriteAttributes, kWriteDac, kWriteOwner, kDelete}) {
            EXPECT_FALSE(AccessCheck(t.program, user, right)) << std::hex << right;
            EXPECT_FALSE(AccessCheck(t.programs, user, right | kDeleteChild)) << std::hex << right;
        }
        EXPECT_FALSE(CanDelete(t.program, t.programs, user));
        EXPECT_FALSE(CanRename(t.programs, t.parent, t.parent, user));
        EXPECT_FALSE(CanRename(t.data, t.programs, t.programs, user));
        // Users may run the programs.
        EXPECT_TRUE(AccessCheck(t.program, user, kGenericRead | kGenericExecute));
        // The data folder takes files only: no folder, so no junction; and it is never empty,
        // so it cannot become a mount point: the installer's note there stays.
        EXPECT_FALSE(CanCreateIn(t.data, user, true));
        EXPECT_FALSE(CanDelete(t.note, t.data, user));
        EXPECT_FALSE(CanRename(t.note, t.data, t.data, user));
        EXPECT_FALSE(AccessCheck(t.data, user, kWriteDac));
        EXPECT_FALSE(CanDelete(t.data, t.programs, user));
    }
    // Administrators keep every right they need to repair and remove.
    EXPECT_TRUE(CanRename(t.program, t.programs, t.programs, t.admin, t.program));
    EXPECT_TRUE(CanDelete(DescriptorOfNew(t.data, false, t.alice), t.data, t.admin));
}

}  // namespace
}  // namespace velmora::setup
