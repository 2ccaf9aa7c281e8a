// What the installed programs may do on a real Windows machine, by the access-check model
// (support/access_model.h) driven with the descriptors the installer applies and the access
// that each of the programs' file calls asks for; and what another user's attacks on them can
// do. Wine keeps no descriptors, so this is where these claims are checked.

#include <gtest/gtest.h>

#include <map>

#include "history/history_file.h"
#include "platform/history_platform.h"
#include "setup/installer_flow.h"
#include "support/access_model.h"

namespace velmora::setup {
namespace {

using namespace velmora::test::acl;
using modulos::medicao::kHistoryLockFileFlags;

std::string Narrow(const wchar_t* wide) {
    std::string out;
    for (; *wide != 0; ++wide) {
        out += static_cast<char>(*wide);
    }
    return out;
}

// The machine after an install: C:\, every folder of kOwnFolderSddls inside the one before, the
// meter in the install folder under its final descriptor from its first moment
// (SECURITY_ATTRIBUTES), and each user's LocalAppData as a profile has it: owned by the user,
// SYSTEM, Administrators and the user alone.
struct Installed {
    Token admin = ElevatedAdministrator();
    Token alice = StandardUser("S-1-5-21-1-2-3-1001");
    Token bob = StandardUser("S-1-5-21-1-2-3-1002");
    Volume volume{{.sd = ParseSddl("O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
                                   "(A;CI;0x100004;;;AU)(A;CIIO;0x10000000;;;AU)"),
                   .container = true}};
    std::vector<std::size_t> own;
    std::size_t programs = 0;
    std::size_t program = 0;
    std::map<std::string, std::size_t> localAppData;

    Installed() {
        for (const wchar_t* sddl : kOwnFolderSddls) {
            own.push_back(Make(volume, own.empty() ? 0 : own.back(),
                               "own" + std::to_string(own.size()), true, admin,
                               ParseSddl(Narrow(sddl))));
            programs = sddl == kInstallFolderSddl ? own.back() : programs;
        }
        program = Make(volume, programs, "VELMORA.exe", false, admin,
                       ParseSddl(Narrow(kProgramFileSddl)));
        for (const Token& user : {alice, bob}) {
            const std::string& sid = user.user;
            localAppData[sid] =
                Make(volume, 0, sid, true, admin,
                     ParseSddl("O:" + sid + "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" +
                               sid + ")"));
        }
    }
    const Descriptor& sd(std::size_t id) const { return volume[id].sd; }
};

// The folder of `user`'s history, as ChooseHistoryDirectory picks it: told whether this user
// may add files to the program's folder, it answers the program's folder or IP-KALDRA in the
// user's LocalAppData, which the meter makes as the user with CreateDirectoryW(path, nullptr):
// what it inherits is all it has.
std::size_t HistoryFolder(Installed& t, const Token& user) {
    const std::filesystem::path program = "C:/GRUPOORVANE/IP-KALDRA";
    const std::filesystem::path own = "C:/Users/user/AppData/Local/IP-KALDRA";
    if (modulos::medicao::ChooseHistoryDirectory(
            program, AccessCheck(t.sd(t.programs), user, kWriteData), own) == program) {
        return t.programs;
    }
    const std::size_t profile = t.localAppData.at(user.user);
    const auto made = t.volume[profile].names.find("IP-KALDRA");
    return made != t.volume[profile].names.end() ? made->second
                                                 : Make(t.volume, profile, "IP-KALDRA", true, user);
}

// Every step of one append, as the meter and velmora-cli make it, by each user in the folder
// their own meter chose and made: nothing in it needs the installer.
TEST(InstalledSecurity, EveryUsersRunIsStored) {
    Installed t;
    for (const Token& user : {t.alice, t.bob}) {
        ASSERT_TRUE(CanCreateIn(t.sd(t.localAppData.at(user.user)), user, true)) << "its folder";
        const std::size_t folder = HistoryFolder(t, user);
        const Descriptor history = t.sd(Make(t.volume, folder, "history.xml", false, user));
        const Descriptor dir = t.sd(folder);
        // The lock and the new contents are new names: CreateFileW(GENERIC_READ | GENERIC_WRITE |
        // DELETE, OPEN_ALWAYS, kHistoryLockFileFlags) and CreateFileW(GENERIC_WRITE, CREATE_NEW).
        EXPECT_TRUE(CanCreateIn(dir, user, false)) << "the lock, the temporary";
        const Descriptor made = DescriptorOfNew(dir, false, user);
        EXPECT_TRUE(
            AccessCheck(made, user, kGenericRead | kGenericWrite | kDelete | kCreateFileAdds))
            << "the lock, deleted on close";
        // The read: std::ifstream, CreateFileW(GENERIC_READ).
        EXPECT_TRUE(AccessCheck(history, user, kGenericRead | kCreateFileAdds)) << "the read";
        // The swap: MoveFileExW(temporary, history, REPLACE_EXISTING | WRITE_THROUGH).
        EXPECT_TRUE(CanRename(made, dir, dir, user, history)) << "the swap";
        // A damaged history kept aside: std::filesystem::rename to history.damaged.bak.
        EXPECT_TRUE(CanRename(history, dir, dir, user)) << "the backup";
    }
}

TEST(InstalledSecurity, NoUserCanPlantOrChangeCode) {
    const Installed t;
    const Descriptor &parent = t.sd(t.own.front()), &programs = t.sd(t.programs),
                     &program = t.sd(t.program);
    for (const Token& user : {t.alice, t.bob}) {
        // Where the programs load code from: nothing new by creating, renaming or moving a name in
        // (each needs the folder's add-file right).
        EXPECT_FALSE(CanCreateIn(programs, user, false));
        EXPECT_FALSE(CanCreateIn(programs, user, true));
        EXPECT_FALSE(CanCreateIn(parent, user, true)) << "a folder beside the programs'";
        // The programs and their folders: not written, replaced, renamed away or re-permitted.
        for (const Mask right :
             {kWriteData, kAppendData, kWriteAttributes, kWriteDac, kWriteOwner, kDelete}) {
            EXPECT_FALSE(AccessCheck(program, user, right)) << std::hex << right;
            EXPECT_FALSE(AccessCheck(programs, user, right | kDeleteChild)) << std::hex << right;
        }
        EXPECT_FALSE(CanDelete(program, programs, user));
        EXPECT_FALSE(CanRename(programs, parent, parent, user));
        // Users may run the programs.
        EXPECT_TRUE(AccessCheck(program, user, kGenericRead | kGenericExecute));
    }
    // Administrators keep every right they need to repair and remove.
    EXPECT_TRUE(CanRename(program, programs, programs, t.admin, program));
    for (const std::size_t folder : t.own) {
        EXPECT_TRUE(
            AccessCheck(t.sd(folder), t.admin, kWriteDac | kDelete | kDeleteChild | kWriteData));
    }
}

// A user who may add a name to a folder that an elevated installer later re-permits can hard-link
// a system file there and have the installer grant users its rights. No folder of the installer
// takes a link from a user, and its descriptor never reaches beyond the folder.
TEST(InstallAttack, NoInstallerFolderLendsAUserWriteAccessToAnOutsideFile) {
    Installed t;
    // A service's program, its DACL inherited from its folder: users may run it, not change it.
    const std::size_t services = Make(t.volume, 0, "Service", true, t.admin,
                                      ParseSddl("O:SYD:P(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"));
    const std::size_t service = Make(t.volume, services, "service.exe", false, LocalSystem());
    const Descriptor original = t.sd(service);
    for (std::size_t i = 0; i < t.own.size(); ++i) {
        const std::size_t folder = t.own[i];
        for (const Token& user : {t.alice, t.bob}) {
            EXPECT_FALSE(CanHardLink(t.volume, service, folder, user)) << "folder " << i;
        }
        // Linked in by whoever could; then a repair sets the folder's descriptor again.
        t.volume[folder].names.emplace("service.exe", service);
        SetFolderDescriptor(t.volume, folder, ParseSddl(Narrow(kOwnFolderSddls[i])),
                            kFolderDescriptorScope == DescriptorScope::FolderAndChildren);
        EXPECT_EQ(t.sd(service).dacl, original.dacl) << "the repair of folder " << i;
        t.volume[folder].names.erase("service.exe");
    }
}

// A folder turned into a mount point sends what the installer or the meter writes there to a
// place of the attacker's choosing. Every folder is empty once, when it is made: none of the
// installer's may be turned into one by a user, whatever it holds.
TEST(InstallAttack, NoInstallerFolderCanBecomeAMountPoint) {
    const Installed t;
    for (std::size_t i = 0; i < t.own.size(); ++i) {
        Volume emptied = t.volume;
        emptied[t.own[i]].names.clear();
        for (const Token& user : {t.alice, t.bob}) {
            EXPECT_FALSE(CanMakeMountPoint(emptied, t.own[i], user)) << "folder " << i;
        }
    }
}

// A symbolic link planted at the lock's name: closing the lock deletes the link itself, never
// the file it leads to (an administrator may run velmora-cli; any user may delete their own
// files).
TEST(InstallAttack, TheHistoryLockDeletesALinkAtItsNameNeverItsTarget) {
    Installed t;
    ASSERT_NE(kHistoryLockFileFlags & kDeleteOnClose, 0u);
    const std::size_t folder = HistoryFolder(t, t.alice);
    for (const std::size_t target :
         {Make(t.volume, 0, "system.dat", false, LocalSystem()),
          Make(t.volume, t.localAppData.at(t.bob.user), "b", false, t.bob)}) {
        const std::size_t link = Make(t.volume, folder, "history.lock", false, t.bob);
        t.volume[link].reparseTo = target;
        EXPECT_EQ(Opened(t.volume, link, kHistoryLockFileFlags), link) << "a link to " << target;
        t.volume[folder].names.erase("history.lock");
    }
}

// Nothing that another user may do reaches a user's history: not a name beside it (a file, a
// link at the lock's name, a mount point of the folder while it is empty), not its contents, not
// its place (a file of theirs with a DACL that shuts the user out, moved over it), not its
// attributes (read-only refuses the swap), not its existence.
TEST(InstallAttack, NoOtherUserCanTouchAUsersHistory) {
    Installed t;
    const std::size_t folder = HistoryFolder(t, t.alice);
    const bool mountPoint = CanMakeMountPoint(t.volume, folder, t.bob);
    const Descriptor history = t.sd(Make(t.volume, folder, "history.xml", false, t.alice));
    const std::size_t bobs = t.localAppData.at(t.bob.user);
    const Descriptor hostile = t.sd(Make(t.volume, bobs, "history.xml", false, t.bob,
                                         ParseSddl("D:P(A;;FA;;;" + t.bob.user + ")")));
    ASSERT_FALSE(AccessCheck(hostile, t.alice, kGenericRead)) << "Alice would be locked out";
    const Descriptor dir = t.sd(folder);
    const struct {
        const char* attack;
        bool done;
    } attacks[] = {
        {"a name placed beside it",
         CanCreateIn(dir, t.bob, false) || CanCreateIn(dir, t.bob, true)},
        {"its folder made a mount point", mountPoint},
        {"its contents replaced",
         AccessCheck(history, t.bob, kWriteData) || AccessCheck(history, t.bob, kAppendData)},
        {"his own DACL moved over it", CanRename(hostile, t.sd(bobs), dir, t.bob, history)},
        {"read-only or hidden set", AccessCheck(history, t.bob, kWriteAttributes)},
        {"deleted", CanDelete(history, dir, t.bob)},
        {"re-permitted",
         AccessCheck(history, t.bob, kWriteDac) || AccessCheck(history, t.bob, kWriteOwner)},
    };
    for (const auto& a : attacks) {
        EXPECT_FALSE(a.done) << a.attack;
    }
}

}  // namespace
}  // namespace velmora::setup
