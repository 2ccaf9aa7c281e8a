#pragma once

// A model of how Windows decides file access, for what Wine cannot show (it keeps no security
// descriptors). Pure and portable: both builds run it. It covers what the programs rely on:
// SDDL for files and folders, the ACEs a new file or folder inherits, the generic-rights
// mapping, the ordered DACL walk with the owner's implied rights (and OWNER RIGHTS replacing
// them), and the folder rights that creating, renaming and deleting need; and what attacks on
// them use: hard links, mount points, the propagation of a folder's descriptor to what is in
// it, the read-only attribute, and what an open follows through a link.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::test::acl {

using Mask = std::uint32_t;

// File and folder rights (winnt.h).
inline constexpr Mask kReadData = 0x1;    // folder: list
inline constexpr Mask kWriteData = 0x2;   // folder: add a file
inline constexpr Mask kAppendData = 0x4;  // folder: add a subfolder
inline constexpr Mask kExecute = 0x20;    // folder: traverse
inline constexpr Mask kDeleteChild = 0x40;
inline constexpr Mask kReadAttributes = 0x80;
inline constexpr Mask kWriteAttributes = 0x100;
inline constexpr Mask kDelete = 0x10000;
inline constexpr Mask kReadControl = 0x20000;
inline constexpr Mask kWriteDac = 0x40000;
inline constexpr Mask kWriteOwner = 0x80000;
inline constexpr Mask kSynchronize = 0x100000;
inline constexpr Mask kGenericAll = 0x10000000;
inline constexpr Mask kGenericExecute = 0x20000000;
inline constexpr Mask kGenericWrite = 0x40000000;
inline constexpr Mask kGenericRead = 0x80000000;
inline constexpr Mask kFileGenericRead = 0x120089;
inline constexpr Mask kFileGenericWrite = 0x120116;
inline constexpr Mask kFileGenericExecute = 0x1200A0;
inline constexpr Mask kFileAllAccess = 0x1F01FF;

// ACE flags (SDDL OI, CI, NP, IO, ID).
enum AceFlag : std::uint8_t {
    kObjectInherit = 1,
    kContainerInherit = 2,
    kNoPropagate = 4,
    kInheritOnly = 8,
    kInherited = 0x10,
};

struct Ace {
    bool allow = true;
    std::uint8_t flags = 0;
    Mask mask = 0;
    std::string sid;  // "S-1-..." after parsing
    bool operator==(const Ace&) const = default;
};
// For the tests' messages: "(A;flags;mask;;;sid)" in hex.
void PrintTo(const Ace& ace, std::ostream* out);

struct Descriptor {
    std::string owner;
    bool protectedDacl = false;
    std::vector<Ace> dacl;
};

// Well-known SIDs by their SDDL alias.
std::string SidOf(std::string_view alias);

// O:, D:[P] and the ACE strings used by the installer: A/D, OI CI NP IO ID, rights as hex or
// FA FR FW FX GA GR GW GX SD RC WD WO, trustees as aliases or S-1-... Throws
// std::invalid_argument on anything else.
Descriptor ParseSddl(std::string_view sddl);

// Generic rights mapped to file rights, as Windows maps them for files and folders.
Mask MapGeneric(Mask mask);

// Whose token asks: the user's SID, the enabled groups, and the owner given to what it makes.
struct Token {
    std::string user;
    std::vector<std::string> groups;
    std::string defaultOwner;
    bool Has(const std::string& sid) const;
};
Token StandardUser(const std::string& sid = "S-1-5-21-1-2-3-1001");
Token ElevatedAdministrator(const std::string& sid = "S-1-5-21-1-2-3-500");
Token LocalSystem();

// The descriptor of a new file (container = false) or folder made in `parent` by `creator`:
// with `given` (SECURITY_ATTRIBUTES) its owner and DACL, followed by the inheritable ACEs of
// the parent unless `given` is protected; without it, the inherited ACEs alone.
Descriptor DescriptorOfNew(const Descriptor& parent, bool container, const Token& creator,
                           const std::optional<Descriptor>& given = std::nullopt);

// AccessCheck: true when every right of `desired` is granted.
bool AccessCheck(const Descriptor& object, const Token& token, Mask desired);

// What the Win32 file calls ask of the object: CreateFileW adds SYNCHRONIZE and
// FILE_READ_ATTRIBUTES to the access it is given; MoveFileExW opens its source, and DeleteFileW
// its file, for DELETE and SYNCHRONIZE.
inline constexpr Mask kCreateFileAdds = kSynchronize | kReadAttributes;
inline constexpr Mask kOpenToDelete = kDelete | kSynchronize;

// What the file-system calls need of the folder that holds the name, and of the object.
// DELETE may come from the object or from FILE_DELETE_CHILD on the folder; the rest of `open`
// only from the object.
bool CanCreateIn(const Descriptor& folder, const Token& token, bool container);
bool CanDelete(const Descriptor& object, const Descriptor& folder, const Token& token,
               Mask open = kOpenToDelete);
// A rename or move of `source` (in `sourceFolder`) to a name in `targetFolder`, replacing
// `replaced` when that name exists.
bool CanRename(const Descriptor& source, const Descriptor& sourceFolder,
               const Descriptor& targetFolder, const Token& token,
               const std::optional<Descriptor>& replaced = std::nullopt);

// Objects on one volume, by identity (their index). A name in a folder is a link to an object:
// several names (hard links) share the one object, so its one descriptor and attributes.
struct Object {
    Descriptor sd;
    bool container = false;
    std::uint32_t attributes = 0;                // kAttributeReadOnly, kAttributeHidden
    std::optional<std::size_t> reparseTo{};      // a symbolic link or mount point: what it leads to
    std::map<std::string, std::size_t> names{};  // a folder's entries
};
using Volume = std::vector<Object>;
inline constexpr std::uint32_t kAttributeReadOnly = 0x1;  // FILE_ATTRIBUTE_READONLY
inline constexpr std::uint32_t kAttributeHidden = 0x2;    // FILE_ATTRIBUTE_HIDDEN

// A new object named `name` in `folder`, made by `creator` as DescriptorOfNew says. Throws
// std::invalid_argument when the name is taken.
std::size_t Make(Volume& volume, std::size_t folder, const std::string& name, bool container,
                 const Token& creator, const std::optional<Descriptor>& given = std::nullopt);

// CreateHardLinkW (FileLinkInformation): a new name for a file, never a folder. It needs the
// add-file right on the folder that gets the name; the documented checks ask no right of the
// file itself, so a user may link any file they can name, even one they may not open at all.
bool CanHardLink(const Volume& volume, std::size_t file, std::size_t folder, const Token& token);

// FSCTL_SET_REPARSE_POINT with a mount-point tag on a folder: an open of it granted
// FILE_WRITE_DATA or FILE_WRITE_ATTRIBUTES, and the folder empty.
bool CanMakeMountPoint(const Volume& volume, std::size_t folder, const Token& token);

// SetSecurityInfo on an existing folder. With `toChildren` (what SetSecurityInfo and
// SetNamedSecurityInfo do) every object below it that is not protected has its inherited ACEs
// recomputed from its folder's inheritable ones, its own ACEs kept; an object reached through a
// hard link is changed for all its names. Without, only the folder's descriptor changes.
void SetFolderDescriptor(Volume& volume, std::size_t folder, const Descriptor& sd, bool toChildren);

// What a data file's read-only attribute refuses whatever its DACL grants: writing or appending
// (kWriteData, kAppendData) and deleting or replacing it (kDelete). Setting or clearing an
// attribute takes FILE_WRITE_ATTRIBUTES.
bool AttributesAllow(std::uint32_t attributes, Mask desired);

// The object that CreateFileW opens at the name of `named`: with FILE_FLAG_OPEN_REPARSE_POINT
// that object itself, a link included; without, the end of the links it leads through, and
// nothing (nullopt) when they never end (a loop fails the open). What it opens is what
// FILE_FLAG_DELETE_ON_CLOSE deletes.
inline constexpr std::uint32_t kOpenReparsePoint = 0x00200000;
inline constexpr std::uint32_t kDeleteOnClose = 0x04000000;
std::optional<std::size_t> Opened(const Volume& volume, std::size_t named, std::uint32_t flags);

}  // namespace velmora::test::acl
