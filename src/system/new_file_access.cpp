#include "system/new_file_access.h"

#include <algorithm>

namespace {

constexpr std::uint32_t set_uid = 04000, set_gid = 02000;
constexpr std::uint32_t group_bits = 0070, group_read_write = 0060, others_read_write = 0006;

// The files that bound the new file's readers: the archive, and the old
// output where one is replaced.
struct Bounds {
    const FileFacts* files[2];
    int count;
};
Bounds bounds_of(const FileFacts& archive, const FileFacts* old) {
    return old != nullptr ? Bounds{{&archive, old}, 2} : Bounds{{&archive, nullptr}, 1};
}

// A user or group that `f`'s ACL names may have fewer rights than the bits
// show: only a copy of that same ACL keeps them as they were.
bool acl_shuts_nobody_out(const FileFacts& f, const FileFacts* acl_source) {
    return f.acl != AclFact::present || &f == acl_source;
}

// Whether every member of `group` may read `f` (one of them may own it, or
// be in its group; who else is in its group is not known).
bool members_read(const FileFacts& f, std::uint32_t group, const FileFacts* acl_source) {
    const bool through_group = f.group == group ? f.group_reads : f.group_reads && f.others_read;
    return f.owner_reads && through_group && acl_shuts_nobody_out(f, acl_source);
}

// Whether anyone outside the new file's `group` may read `f`.
bool others_read(const FileFacts& f, std::uint32_t group, const FileFacts* acl_source) {
    return f.owner_reads && f.others_read && (f.group == group || f.group_reads) &&
           acl_shuts_nobody_out(f, acl_source);
}

// Whether anyone at all may read `f`, whichever group they are in.
bool anyone_reads(const FileFacts& f) {
    return f.owner_reads && f.group_reads && f.others_read && f.acl != AclFact::present;
}

// Whether the user `user` may read `f`.
bool user_reads(const FileFacts& f, std::uint32_t user) {
    return user == f.owner ? f.owner_reads : anyone_reads(f);
}

const FileFacts* acl_source_of(const FileFacts& archive, const FileFacts* old,
                               const AccessPlan& plan) {
    switch (plan.acl) {
        case AclSource::archive:
            return &archive;
        case AclSource::old:
            return old;
        case AclSource::none:
            break;
    }
    return nullptr;
}

// Whether whoever the new file's group class lets in (the members of its
// group, where its group may read; the users and groups its ACL names) could
// read `f`.
bool group_class_may_read(const FileFacts& f, std::uint32_t group, const FileFacts* acl_source,
                          bool group_reads_new) {
    const bool names_readers = acl_source != nullptr && acl_source->names_readers;
    return (!group_reads_new || members_read(f, group, acl_source)) &&
           (!names_readers || &f == acl_source || anyone_reads(f));
}

// Whether the user may give a file `group`: root, or one of its members.
bool may_give_group(const UserFacts& user, std::uint32_t group) {
    return user.root ||
           std::find(user.groups.begin(), user.groups.end(), group) != user.groups.end();
}

}  // namespace

bool same_file(const FileIdentity& a, const FileIdentity& b) {
    return a.known && b.known && a.device == b.device && a.file == b.file;
}

bool may_replace(const FileFacts& archive, const FileFacts& old) {
    return !same_file(archive.identity, old.identity) && old.own_name && old.writable;
}

AccessPlan plan_access(const FileFacts& archive, const FileFacts* old, const UserFacts& user) {
    AccessPlan plan;
    const Bounds bounds = bounds_of(archive, old);
    for (int index = 0; index < bounds.count; ++index) {
        plan.refused |= bounds.files[index]->acl == AclFact::unreadable;
    }
    // A replaced output keeps its own list; a new one takes its archive's
    // explicit one, as `cp -p` does.
    const FileFacts& listed = old != nullptr ? *old : archive;
    plan.acl = listed.acl == AclFact::present
                   ? (old != nullptr ? AclSource::old : AclSource::archive)
                   : AclSource::none;
    if (!archive.has_owners) {
        return plan;
    }
    // Only root may give a file away: it keeps the old output's owner only
    // where that owner could read the archive too.
    Ownership& ownership = plan.ownership;
    if (old != nullptr && user.root && user_reads(archive, old->owner)) {
        ownership.set_owner = true;
        ownership.owner = old->owner;
    }
    // The old output's group, as a write into it would have kept it; else the
    // archive's, as `cp -p` gives; else the creator's, with no group bits
    // unless anyone could read the archive.
    if (old != nullptr && may_give_group(user, old->group)) {
        ownership.set_group = true;
        ownership.group = old->group;
    } else if (may_give_group(user, archive.group)) {
        ownership.set_group = true;
        ownership.group = archive.group;
    }
    return plan;
}

namespace {

// `mode` less the read and write of each class of the new file (of `group`)
// that could not read the archive or the old output.
std::uint32_t narrowed(const FileFacts& archive, const FileFacts* old, const AccessPlan& plan,
                       std::uint32_t group, std::uint32_t mode) {
    const FileFacts* acl_source = acl_source_of(archive, old, plan);
    if (acl_source == &archive) {
        mode &= archive.mode | ~group_bits;  // a copy of its list keeps its mask
    }
    const bool group_reads_new =
        acl_source != nullptr ? acl_source->group_reads : (mode & 0040) != 0;
    const Bounds bounds = bounds_of(archive, old);
    for (int index = 0; index < bounds.count; ++index) {
        const FileFacts& f = *bounds.files[index];
        if (!group_class_may_read(f, group, acl_source, group_reads_new)) {
            mode &= ~group_read_write;
        }
        if (!others_read(f, group, acl_source)) {
            mode &= ~others_read_write;
        }
    }
    return mode;
}

}  // namespace

std::uint32_t creation_mode(const FileFacts& archive, const FileFacts* old,
                            const AccessPlan& plan) {
    if (old != nullptr) {
        return 0600;
    }
    if (!archive.has_owners) {
        return 0666;
    }
    // The group it will be given; the creator's is not known (a set-gid
    // folder's, say): no group the archive has.
    const std::uint32_t group = plan.ownership.set_group ? plan.ownership.group : ~archive.group;
    return narrowed(archive, nullptr, plan, group, 0666);
}

std::uint32_t final_mode(const FileFacts& archive, const FileFacts* old, const AccessPlan& plan,
                         std::uint32_t owner, std::uint32_t group, std::uint32_t created_mode) {
    if (!archive.has_owners) {
        return created_mode;
    }
    std::uint32_t mode = (old != nullptr ? old->mode : created_mode) & 07777;
    if (old != nullptr) {
        // A set-id bit goes with the owner or group it belongs to, as `cp -p`
        // does: another user's set-uid bit never lands on a file of ours; and
        // the group's rights go with a group not kept.
        mode &= owner == old->owner ? ~0u : ~set_uid;
        mode &= group == old->group ? ~0u : ~(set_gid | group_bits);
    }
    return narrowed(archive, old, plan, group, mode);
}
