// Who may use a new output: decided here once, the same on every system,
// from what each system reports of the archive and of the old output it
// replaces. The rule: nobody may read the new file who could not read its
// archive (as far as its owner, group, permission bits and access control
// list tell) nor, where it replaces one, the old output. The systems carry
// the decisions out and decide nothing themselves.
#pragma once

#include <cstdint>
#include <vector>

// Which file a name leads to, as the file system tells files apart.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    bool known = false;
};

bool same_file(const FileIdentity& a, const FileIdentity& b);

// An access control list beyond what the permission bits say.
enum class AclFact {
    none,        // none (Windows: the list the folder hands every new file)
    present,     // an explicit one, which the system keeps to hand on
    unreadable,  // there may be one, but it could not be read
};

// What a system saw of a file: the archive, or the file at the output's name.
struct FileFacts {
    FileIdentity identity;
    // Owners and permission bits, where the system has them (POSIX); the
    // group's read is the owning group's own, through the ACL's mask.
    bool has_owners = false;
    std::uint32_t owner = 0, group = 0, mode = 0;
    bool owner_reads = false, group_reads = false, others_read = false;
    AclFact acl = AclFact::none;
    // With an ACL present: whether it names users or groups who may read.
    bool names_readers = false;
    // The file at the output's name only: whether that name is its own (up
    // to letter case, not another file's short alias), and whether this user
    // could write it directly, as the system decides it.
    bool own_name = false;
    bool writable = false;
};

// The user running, and the groups it is in (its own first).
struct UserFacts {
    std::uint32_t user = 0;
    bool root = false;
    std::vector<std::uint32_t> groups;
};

// Where the new file's access control list comes from.
enum class AclSource {
    none,     // none at all (POSIX: not even the folder's default one)
    archive,  // a copy of the archive's
    old,      // a copy of the old output's
};

// Who should own the new file; where a `set_` is false, whoever creates it.
struct Ownership {
    bool set_owner = false, set_group = false;
    std::uint32_t owner = 0, group = 0;
};

// The new file's ACL, owner and group: what it is created for. `refused`
// where a fact that bounds its readers could not be read.
struct AccessPlan {
    bool refused = false;
    AclSource acl = AclSource::none;
    Ownership ownership;
};
AccessPlan plan_access(const FileFacts& archive, const FileFacts* old, const UserFacts& user);

// The permission bits the new file is created with, before the umask: while
// it is written nobody else may use a file that replaces another; a new one
// gets no more than its archive lets the planned group, and anyone, read.
std::uint32_t creation_mode(const FileFacts& archive, const FileFacts* old, const AccessPlan& plan);

// The permission bits the complete file gets, given who it now belongs to
// (`owner`, `group`, as the system reports them after setting them) and the
// bits it was created with: each class that could not read the archive or
// the old output loses read and write, set-id bits go with an owner or a
// group not kept, and the mask of an ACL that names users narrows so that
// they gain nothing.
std::uint32_t final_mode(const FileFacts& archive, const FileFacts* old, const AccessPlan& plan,
                         std::uint32_t owner, std::uint32_t group, std::uint32_t created_mode);

// Whether an old output may be replaced at all: the file its name says, which
// this user could write, and not the archive itself under another name.
bool may_replace(const FileFacts& archive, const FileFacts& old);
