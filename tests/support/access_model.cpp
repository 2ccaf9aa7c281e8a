#include "support/access_model.h"

#include <algorithm>
#include <ostream>
#include <stdexcept>
#include <utility>

namespace velmora::test::acl {
namespace {

struct Alias {
    std::string_view name;
    std::string_view sid;
};
constexpr Alias kAliases[] = {
    {"WD", "S-1-1-0"},  {"CO", "S-1-3-0"},      {"OW", "S-1-3-4"},      {"IU", "S-1-5-4"},
    {"AN", "S-1-5-7"},  {"AU", "S-1-5-11"},     {"SY", "S-1-5-18"},     {"LS", "S-1-5-19"},
    {"NS", "S-1-5-20"}, {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"},
};

struct Right {
    std::string_view name;
    Mask mask;
};
constexpr Right kRights[] = {
    {"FA", kFileAllAccess},      {"FR", kFileGenericRead}, {"FW", kFileGenericWrite},
    {"FX", kFileGenericExecute}, {"GA", kGenericAll},      {"GR", kGenericRead},
    {"GW", kGenericWrite},       {"GX", kGenericExecute},  {"SD", kDelete},
    {"RC", kReadControl},        {"WD", kWriteDac},        {"WO", kWriteOwner},
};
constexpr Right kFlags[] = {
    {"OI", kObjectInherit}, {"CI", kContainerInherit}, {"NP", kNoPropagate},
    {"IO", kInheritOnly},   {"ID", kInherited},
};

[[noreturn]] void Unknown(std::string_view what, std::string_view text) {
    throw std::invalid_argument("SDDL: unknown " + std::string(what) + " \"" + std::string(text) +
                                "\"");
}

std::string Trustee(std::string_view text) {
    if (text.starts_with("S-")) {
        return std::string(text);
    }
    return SidOf(text);
}

// The OR of the two-letter tokens of `text`, each looked up in `table`.
template <std::size_t N>
Mask TokensOf(std::string_view text, const Right (&table)[N], std::string_view what) {
    Mask mask = 0;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const std::string_view token = text.substr(i, 2);
        const auto* found = std::find_if(std::begin(table), std::end(table),
                                         [&](const Right& r) { return r.name == token; });
        if (found == std::end(table)) {
            Unknown(what, token);
        }
        mask |= found->mask;
    }
    return mask;
}

Mask RightsOf(std::string_view text) {
    if (text.starts_with("0x")) {
        return static_cast<Mask>(std::stoul(std::string(text), nullptr, 16));
    }
    return TokensOf(text, kRights, "right");
}

Ace AceOf(std::string_view text) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(';', start);
        fields.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    if (fields.size() != 6 || (fields[0] != "A" && fields[0] != "D") || !fields[3].empty() ||
        !fields[4].empty()) {
        Unknown("ACE", text);
    }
    return {fields[0] == "A", static_cast<std::uint8_t>(TokensOf(fields[1], kFlags, "ACE flag")),
            RightsOf(fields[2]), Trustee(fields[5])};
}

// A SID at the start of `text`: an alias of two letters, or "S-..." up to the next part.
std::string_view SidAt(std::string_view text) {
    if (!text.starts_with("S-")) {
        return text.substr(0, 2);
    }
    std::size_t end = 2;
    while (end < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '-')) {
        ++end;
    }
    return text.substr(0, end);
}

Ace Inherited(const Ace& from, std::uint8_t flags, const std::string& owner, bool keepGeneric) {
    Ace ace = from;
    ace.flags = static_cast<std::uint8_t>(flags | kInherited);
    if (!keepGeneric) {
        ace.mask = MapGeneric(ace.mask);
        if (ace.sid == SidOf("CO")) {
            ace.sid = owner;
        }
    }
    return ace;
}

// The ACEs of `parent` that a new child inherits, by the inheritance rules for files and
// folders: an effective ACE where it applies to the child, and, for a folder, an inherit-only
// copy that passes CREATOR OWNER and generic rights on unchanged to its own children.
std::vector<Ace> InheritedAces(const Descriptor& parent, bool container, const std::string& owner) {
    std::vector<Ace> out;
    for (const Ace& ace : parent.dacl) {
        const bool oi = ace.flags & kObjectInherit;
        const bool ci = ace.flags & kContainerInherit;
        const bool np = ace.flags & kNoPropagate;
        if (!container) {
            if (oi) {
                out.push_back(Inherited(ace, 0, owner, false));
            }
            continue;
        }
        const std::uint8_t passOn =
            np ? 0 : static_cast<std::uint8_t>(ace.flags & (kObjectInherit | kContainerInherit));
        if (ci) {
            const bool special = ace.sid == SidOf("CO") || MapGeneric(ace.mask) != ace.mask;
            if (passOn != 0 && special) {
                out.push_back(Inherited(ace, 0, owner, false));
                out.push_back(Inherited(ace, passOn | kInheritOnly, owner, true));
            } else {
                out.push_back(Inherited(ace, passOn, owner, false));
            }
        } else if (oi && !np) {
            out.push_back(Inherited(ace, kObjectInherit | kInheritOnly, owner, true));
        }
    }
    return out;
}

}  // namespace

std::string SidOf(std::string_view alias) {
    const auto* found = std::find_if(std::begin(kAliases), std::end(kAliases),
                                     [&](const Alias& a) { return a.name == alias; });
    if (found == std::end(kAliases)) {
        Unknown("trustee", alias);
    }
    return std::string(found->sid);
}

void PrintTo(const Ace& ace, std::ostream* out) {
    *out << '(' << (ace.allow ? 'A' : 'D') << ";0x" << std::hex << int{ace.flags} << ";0x"
         << ace.mask << std::dec << ";;;" << ace.sid << ')';
}

Descriptor ParseSddl(std::string_view sddl) {
    Descriptor out;
    while (!sddl.empty()) {
        if (sddl.starts_with("O:")) {
            const std::string_view sid = SidAt(sddl.substr(2));
            out.owner = Trustee(sid);
            sddl.remove_prefix(2 + sid.size());
        } else if (sddl.starts_with("D:")) {
            sddl.remove_prefix(2);
            if (sddl.starts_with("P")) {
                out.protectedDacl = true;
                sddl.remove_prefix(1);
            }
            while (sddl.starts_with("(")) {
                const std::size_t close = sddl.find(')');
                if (close == std::string_view::npos) {
                    Unknown("ACE", sddl);
                }
                out.dacl.push_back(AceOf(sddl.substr(1, close - 1)));
                sddl.remove_prefix(close + 1);
            }
        } else {
            Unknown("part", sddl);
        }
    }
    return out;
}

Mask MapGeneric(Mask mask) {
    Mask mapped = mask & ~(kGenericAll | kGenericExecute | kGenericWrite | kGenericRead);
    if (mask & kGenericRead) {
        mapped |= kFileGenericRead;
    }
    if (mask & kGenericWrite) {
        mapped |= kFileGenericWrite;
    }
    if (mask & kGenericExecute) {
        mapped |= kFileGenericExecute;
    }
    if (mask & kGenericAll) {
        mapped |= kFileAllAccess;
    }
    return mapped;
}

bool Token::Has(const std::string& sid) const {
    return user == sid || std::find(groups.begin(), groups.end(), sid) != groups.end();
}

Token StandardUser(const std::string& sid) {
    return {sid, {SidOf("WD"), SidOf("AU"), SidOf("IU"), SidOf("BU")}, sid};
}

// Elevated: the Administrators group is enabled and is the owner of what the token makes.
Token ElevatedAdministrator(const std::string& sid) {
    return {sid, {SidOf("WD"), SidOf("AU"), SidOf("IU"), SidOf("BU"), SidOf("BA")}, SidOf("BA")};
}

Token LocalSystem() {
    return {SidOf("SY"), {SidOf("WD"), SidOf("AU"), SidOf("BA")}, SidOf("SY")};
}

Descriptor DescriptorOfNew(const Descriptor& parent, bool container, const Token& creator,
                           const std::optional<Descriptor>& given) {
    Descriptor out;
    out.owner = given && !given->owner.empty() ? given->owner : creator.defaultOwner;
    if (given) {
        out.protectedDacl = given->protectedDacl;
        out.dacl = given->dacl;
        if (given->protectedDacl) {
            return out;
        }
    }
    for (Ace& ace : InheritedAces(parent, container, out.owner)) {
        out.dacl.push_back(std::move(ace));
    }
    return out;
}

bool AccessCheck(const Descriptor& object, const Token& token, Mask desired) {
    desired = MapGeneric(desired);
    const bool owner = token.Has(object.owner);
    const bool ownerRightsListed = std::any_of(
        object.dacl.begin(), object.dacl.end(),
        [](const Ace& ace) { return !(ace.flags & kInheritOnly) && ace.sid == SidOf("OW"); });
    // The owner may always read and change the DACL, unless OWNER RIGHTS says what it may.
    Mask granted = owner && !ownerRightsListed ? desired & (kReadControl | kWriteDac) : 0;
    for (const Ace& ace : object.dacl) {
        if (granted == desired) {
            break;
        }
        const bool applies = token.Has(ace.sid) || (ace.sid == SidOf("OW") && owner);
        if ((ace.flags & kInheritOnly) || !applies) {
            continue;
        }
        const Mask rights = MapGeneric(ace.mask) & desired & ~granted;
        if (!ace.allow && rights != 0) {
            return false;
        }
        if (ace.allow) {
            granted |= rights;
        }
    }
    return granted == desired;
}

bool CanCreateIn(const Descriptor& folder, const Token& token, bool container) {
    return AccessCheck(folder, token, container ? kAppendData : kWriteData);
}

bool CanDelete(const Descriptor& object, const Descriptor& folder, const Token& token, Mask open) {
    return AccessCheck(object, token, open & ~kDelete) &&
           (AccessCheck(object, token, kDelete) || AccessCheck(folder, token, kDeleteChild));
}

bool CanRename(const Descriptor& source, const Descriptor& sourceFolder,
               const Descriptor& targetFolder, const Token& token,
               const std::optional<Descriptor>& replaced) {
    return CanDelete(source, sourceFolder, token) && CanCreateIn(targetFolder, token, false) &&
           (!replaced || CanDelete(*replaced, targetFolder, token));
}

std::size_t Make(Volume& volume, std::size_t folder, const std::string& name, bool container,
                 const Token& creator, const std::optional<Descriptor>& given) {
    if (volume.at(folder).names.contains(name)) {
        throw std::invalid_argument("the name is taken: " + name);
    }
    volume.push_back({.sd = DescriptorOfNew(volume[folder].sd, container, creator, given),
                      .container = container});
    volume[folder].names.emplace(name, volume.size() - 1);
    return volume.size() - 1;
}

bool CanHardLink(const Volume& volume, std::size_t file, std::size_t folder, const Token& token) {
    return !volume.at(file).container && CanCreateIn(volume.at(folder).sd, token, false);
}

bool CanMakeMountPoint(const Volume& volume, std::size_t folder, const Token& token) {
    const Object& object = volume.at(folder);
    return object.container && object.names.empty() &&
           (AccessCheck(object.sd, token, kWriteData) ||
            AccessCheck(object.sd, token, kWriteAttributes));
}

namespace {

// Each object in `folder` takes again what the folder passes on, below it too. Links are not
// followed: a reparse point has no entries of its own.
void Propagate(Volume& volume, std::size_t folder) {
    for (const auto& [name, id] : volume[folder].names) {
        Descriptor& sd = volume[id].sd;
        if (!sd.protectedDacl) {
            std::erase_if(sd.dacl, [](const Ace& ace) { return (ace.flags & kInherited) != 0; });
            for (Ace& ace : InheritedAces(volume[folder].sd, volume[id].container, sd.owner)) {
                sd.dacl.push_back(std::move(ace));
            }
        }
        if (volume[id].container) {
            Propagate(volume, id);
        }
    }
}

}  // namespace

void SetFolderDescriptor(Volume& volume, std::size_t folder, const Descriptor& sd,
                         bool toChildren) {
    volume.at(folder).sd = sd;
    if (toChildren) {
        Propagate(volume, folder);
    }
}

bool AttributesAllow(std::uint32_t attributes, Mask desired) {
    return !(attributes & kAttributeReadOnly) ||
           (desired & (kWriteData | kAppendData | kDelete)) == 0;
}

std::optional<std::size_t> Opened(const Volume& volume, std::size_t named, std::uint32_t flags) {
    if (flags & kOpenReparsePoint) {
        return named;
    }
    // A chain longer than the volume has objects comes back to one of them: it never ends.
    for (std::size_t hops = 0; hops <= volume.size(); ++hops) {
        if (!volume.at(named).reparseTo) {
            return named;
        }
        named = *volume[named].reparseTo;
    }
    return std::nullopt;
}

}  // namespace velmora::test::acl
