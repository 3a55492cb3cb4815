// The shared order of a safe write, and who may read what it writes, over a
// fake system that keeps one folder in memory: every kind of thing at the
// output's name, with each step failing and an interruption at each step,
// and every owner, group and permission of an archive and an old output.
#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "system/safe_write_steps.h"

namespace {

// ---- The fake system ----------------------------------------------------------

struct FakeFile {
    std::string bytes;
    Standing kind = Standing::file;
    std::uint32_t owner = 1000, group = 100, mode = 0644;
    std::string acl;  // "unreadable": one that cannot be read
    bool writable = true;
};

// What the interrupt handler does: the process ends once it has run.
struct Interrupted {};

struct Fake {
    std::map<std::string, int> names;  // the one folder
    std::vector<FakeFile> files;
    bool makes_nameless = true;
    std::string alias;  // a name that is another file's short alias
    bool append_only = false;
    std::string failing;       // the steps that fail, each between commas
    std::string interrupting;  // the step during which an interruption comes
    int held = 0;
    bool interrupt_pending = false;
    bool ended = false;  // by an interruption: nothing more is checked
    std::vector<std::string> called;
} fake;

int temporary_names() {
    int count = 0;
    for (const auto& [name, file] : fake.names) {
        count += name.rfind(".mapdown-", 0) == 0;
    }
    return count;
}

// The handler's record says "temporary" exactly while a hidden name exists,
// wherever an interruption can come.
void check_unfinished_record() {
    if (fake.held > 0 || fake.ended) {
        return;
    }
    const NewFile* unfinished = unfinished_file();
    EXPECT_EQ(temporary_names(), unfinished != nullptr ? 1 : 0) << fake.called.back();
    if (unfinished != nullptr) {
        EXPECT_EQ(fake.names.count(unfinished->temporary_name), 1u);
    }
}

// What the handler does: removes the unfinished file's name, then the process ends.
[[noreturn]] void interrupt() {
    if (const NewFile* unfinished = unfinished_file()) {
        fake.names.erase(unfinished->temporary_name);
    }
    throw Interrupted{};
}

// Each step records itself, may be made to fail, and may be interrupted.
struct Step {
    explicit Step(const char* name) {
        fake.called.push_back(name);
        check_unfinished_record();
        if (fake.interrupting == name) {
            fake.interrupting.clear();
            if (fake.held > 0) {
                fake.interrupt_pending = true;
            } else {
                interrupt();
            }
        }
    }
    ~Step() {
        if (std::uncaught_exceptions() == 0) {  // the process has not ended
            check_unfinished_record();
        }
    }
    bool fails() const {
        return fake.failing.find("," + fake.called.back() + ",") != std::string::npos;
    }
};

// What a system reports of a file's owners and permission bits.
void note_bits(std::uint32_t owner, std::uint32_t group, std::uint32_t mode, FileFacts& facts) {
    facts.has_owners = true;
    facts.owner = owner;
    facts.group = group;
    facts.mode = mode;
    facts.owner_reads = (mode & 0400) != 0;
    facts.group_reads = (mode & 0040) != 0;
    facts.others_read = (mode & 0004) != 0;
}

int new_file(std::uint32_t mode) {
    fake.files.push_back({});
    fake.files.back().mode = mode & ~022u;  // the umask
    return static_cast<int>(fake.files.size()) - 1;
}

}  // namespace

void split_path(const std::string& path, std::string& folder, std::string& name) {
    folder = ".";
    name = path;
}

InterruptsHeld hold_interrupts() {
    ++fake.held;
    return {};
}

void release_interrupts(const InterruptsHeld&) {
    if (--fake.held == 0 && fake.interrupt_pending) {
        fake.interrupt_pending = false;
        interrupt();
    }
}

UserFacts user_facts() {
    return {1000, false, {100}};
}

Standing look_at_output(NewFile& file, FileFacts& facts) {
    const Step step("look_at_output");
    if (step.fails()) {
        return Standing::unknown;
    }
    const auto found = fake.names.find(file.output_name);
    if (found == fake.names.end()) {
        return Standing::nothing;
    }
    const FakeFile& old = fake.files[static_cast<std::size_t>(found->second)];
    facts.identity = {1, static_cast<std::uint64_t>(found->second), true};
    note_bits(old.owner, old.group, old.mode, facts);
    facts.own_name = file.output_name != fake.alias;
    facts.writable = old.writable;
    facts.acl = old.acl.empty()           ? AclFact::none
                : old.acl == "unreadable" ? AclFact::unreadable
                                          : AclFact::present;
    file.kept.acl = old.acl;
    return old.kind;
}

bool folder_lets_names_go(const NewFile&) {
    const Step step("folder_lets_names_go");
    return !fake.append_only && !step.fails();
}

bool create_nameless(NewFile& file, unsigned mode) {
    const Step step("create_nameless");
    if (!fake.makes_nameless || step.fails()) {
        return false;
    }
    file.open.file = new_file(mode);
    file.state = NewFileState::nameless;
    return true;
}

Claim create_named(NewFile& file, const char* name, unsigned mode) {
    const Step step("create_named");
    if (step.fails()) {
        return Claim::failed;
    }
    if (fake.names.count(name) != 0) {
        return Claim::taken;
    }
    file.open.file = fake.names[name] = new_file(mode);
    return Claim::claimed;
}

Claim link_nameless(NewFile& file, const char* name) {
    const Step step("link_nameless");
    if (step.fails()) {
        return Claim::failed;
    }
    if (fake.failing == ",appears," && name == file.output_name) {
        fake.files.push_back(FakeFile{});  // put there by someone else meanwhile
        fake.names[name] = static_cast<int>(fake.files.size()) - 1;
    }
    if (fake.names.count(name) != 0) {
        return Claim::taken;
    }
    fake.names[name] = file.open.file;
    return Claim::claimed;
}

std::size_t write_some(NewFile& file, const void* bytes, std::size_t count) {
    const Step step("write_some");
    // Never all at once: the loop over partial writes is the shared part's.
    const std::size_t taken = step.fails() ? 0 : std::min<std::size_t>(count, 3);
    fake.files[static_cast<std::size_t>(file.open.file)].bytes.append(
        static_cast<const char*>(bytes), taken);
    return taken;
}

bool set_ownership(NewFile& file, const Ownership& wanted, std::uint32_t& owner,
                   std::uint32_t& group, std::uint32_t& mode) {
    const Step step("set_ownership");
    FakeFile& made = fake.files[static_cast<std::size_t>(file.open.file)];
    if (wanted.set_group) {
        made.group = wanted.group;
    }
    owner = made.owner;
    group = made.group;
    mode = made.mode;
    return !step.fails();
}

bool put_acl(NewFile& file, AclSource source) {
    const Step step("put_acl");
    fake.files[static_cast<std::size_t>(file.open.file)].acl =
        source == AclSource::old       ? file.kept.acl
        : source == AclSource::archive ? file.archive->acl.acl
                                       : "";
    return !step.fails();
}

bool set_mode(NewFile& file, std::uint32_t mode) {
    const Step step("set_mode");
    fake.files[static_cast<std::size_t>(file.open.file)].mode = mode;
    return !step.fails();
}

bool finish_writing(NewFile&) {
    const Step step("finish_writing");
    return !step.fails();
}

bool keep_when_closed(NewFile&) {
    const Step step("keep_when_closed");
    return !step.fails();
}

bool rename_into_place(const NewFile& file) {
    const Step step("rename_into_place");
    if (step.fails()) {
        return false;
    }
    fake.names[file.output_name] = fake.names.at(file.temporary_name);
    fake.names.erase(file.temporary_name);
    return true;
}

// Fails as in a folder made read-only meanwhile: the name stays.
void remove_name(const NewFile&, const char* name) {
    const Step step("remove_name");
    if (!step.fails()) {
        fake.names.erase(name);
    }
}

void empty_file(NewFile& file) {
    const Step step("empty_file");
    fake.files[static_cast<std::size_t>(file.open.file)].bytes.clear();
}

void close_new_file(NewFile& file) {
    file.open.file = -1;
}

namespace {

// ---- The order ---------------------------------------------------------------------

const char* const every_step[] = {
    "look_at_output",   "folder_lets_names_go", "create_nameless", "create_named", "link_nameless",
    "write_some",       "set_ownership",        "put_acl",         "set_mode",     "finish_writing",
    "keep_when_closed", "rename_into_place",    "remove_name",     "empty_file"};

// What may stand at the output's name, and whether it is replaced.
struct AtName {
    const char* what;
    bool replaced;
};
const AtName every_standing[] = {
    {"nothing", true},  {"link", true},        {"file", true},         {"device", true},
    {"alias", false},   {"read-only", false},  {"the archive", false}, {"folder", false},
    {"unknown", false}, {"unread ACL", false}, {"append-only", false},
};

const std::string map_file = "the new map file's bytes";

// The folder as the user sees it: each name and what its file holds.
std::map<std::string, std::string> folder_contents() {
    std::map<std::string, std::string> contents;
    for (const auto& [name, file] : fake.names) {
        contents[name] = fake.files[static_cast<std::size_t>(file)].bytes;
    }
    return contents;
}

struct Conversion {
    std::string ended;  // saved, not saved or interrupted
    std::map<std::string, std::string> before, after;
};

// Lays the folder out, converts "e1.rtlx" into "e1.rtl" as the program does,
// with `step` failing or interrupted, and says how it ended.
Conversion convert(const AtName& at_name, bool nameless, const std::string& step,
                   bool interrupted) {
    fake = Fake{};
    fake.makes_nameless = nameless;
    fake.files.push_back(FakeFile{});
    fake.files.back().bytes = "the archive's bytes";
    fake.names["e1.rtlx"] = 0;
    const std::string what = at_name.what;
    if (what != "nothing") {
        fake.files.push_back(FakeFile{});
        FakeFile& old = fake.files.back();
        old.bytes = "the previous output";
        old.kind = what == "link"      ? Standing::link
                   : what == "device"  ? Standing::other
                   : what == "folder"  ? Standing::folder
                   : what == "unknown" ? Standing::unknown
                                       : Standing::file;
        old.writable = what != "read-only";
        old.acl = what == "unread ACL" ? "unreadable" : "user:1001:r";
        fake.names["e1.rtl"] = what == "the archive" ? 0 : 1;
        fake.alias = what == "alias" ? "e1.rtl" : "";
    }
    fake.append_only = what == "append-only";
    if (interrupted) {
        fake.interrupting = step;
    } else {
        fake.failing = "," + step + ",";
    }
    InputFile archive;
    archive.facts.identity = {1, 0, true};
    note_bits(1000, 100, 0644, archive.facts);
    Conversion run{"", folder_contents(), {}};
    NewFile file;
    try {
        SaveStatus status = create_output(archive, "e1.rtl", file);
        if (status == SaveStatus::saved) {
            ByteSink sink{file};
            if (write_bytes(sink, map_file.data(), map_file.size())) {
                status = commit_output(file);
            } else {
                discard_output(file);
                status = SaveStatus::cannot_write;
            }
        }
        run.ended = status == SaveStatus::saved ? "saved" : "not saved";
    } catch (const Interrupted&) {
        run.ended = "interrupted";
        // The process ended there; this one goes on, without the record.
        fake.ended = true;
        fake.failing = ",remove_name,";
        discard_output(file);
    }
    EXPECT_EQ(unfinished_file(), nullptr);
    run.after = folder_contents();
    return run;
}

}  // namespace

// Each kind of thing at the output's name, on a system with and without
// nameless files, with each step failing in turn and an interruption coming
// during each: the output appears whole or not at all, the old output and the
// archive stay as they were, and nothing is left; the handler's record is
// checked at every step.
TEST(SafeWrite, EveryStandingEveryFailureEveryInterruption) {
    for (const AtName& at_name : every_standing) {
        for (const bool nameless : {true, false}) {
            const Conversion clean = convert(at_name, nameless, "", false);
            SCOPED_TRACE(std::string(at_name.what) + (nameless ? ", nameless" : ""));
            EXPECT_EQ(clean.ended, at_name.replaced ? "saved" : "not saved");
            std::map<std::string, std::string> written = clean.before;
            written["e1.rtl"] = map_file;
            EXPECT_EQ(clean.after, at_name.replaced ? written : clean.before);
            for (const bool interrupted : {false, true}) {
                for (const std::string step : every_step) {
                    const Conversion run = convert(at_name, nameless, step, interrupted);
                    const bool reached = run.ended == "interrupted" ||
                                         std::find(fake.called.begin(), fake.called.end(), step) !=
                                             fake.called.end();
                    SCOPED_TRACE(step + (interrupted ? " interrupted" : " failing"));
                    if (!reached || (!interrupted && step == "create_nameless")) {
                        // Not asked, or a way around: as without the fault.
                        EXPECT_EQ(run.after, clean.after);
                        continue;
                    }
                    // Interrupted once the whole file has its name, it stays.
                    if (run.after != written || !interrupted) {
                        EXPECT_NE(run.ended, "saved");
                        EXPECT_EQ(run.after, run.before);
                    }
                }
            }
        }
    }
}

// Something put at the output's name after it was found free is replaced
// by the complete file, renamed over it, as any other.
TEST(SafeWrite, AnOutputNameTakenMeanwhileIsRenamedOver) {
    const Conversion run = convert({"nothing", true}, true, "appears", false);
    EXPECT_EQ(run.ended, "saved");
    EXPECT_EQ(run.after.at("e1.rtl"), map_file);
    EXPECT_EQ(run.after.size(), 2u);
}

// Where the hidden name cannot be removed (the folder made read-only
// meanwhile), it holds nothing of the map.
TEST(SafeWrite, AHiddenNameThatStaysIsEmpty) {
    const Conversion run = convert({"file", true}, false, "rename_into_place,remove_name", false);
    EXPECT_EQ(run.ended, "not saved");
    std::map<std::string, std::string> left = run.after;
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(left["e1.rtl"], "the previous output");
    for (const auto& [name, bytes] : left) {
        EXPECT_TRUE(name.rfind(".mapdown-", 0) != 0 || bytes.empty()) << name;
    }
}

// A tab's hidden names are found again by their tag, and nothing else is
// taken for one: the program's own, another program's, near misses.
TEST(TemporaryName, OnlyATaggedHiddenNameGivesItsTag) {
    char name[temporary_name_size];
    ASSERT_TRUE(make_temporary_name(7, "k3x9q2", name));
    EXPECT_EQ(tag_of_temporary_name(name), "k3x9q2");
    ASSERT_TRUE(make_temporary_name(1, "", name));
    EXPECT_EQ(std::string(name).size(), 29u) << name;
    for (const char* tag : {"Upper", "two-parts", "a~b", "abcdefghijklmnopq"}) {
        EXPECT_FALSE(make_temporary_name(0, tag, name)) << tag;
    }
    for (const char* other : {
             static_cast<const char*>(name),              // the program's own
             ".mapdown-k3x9q2-0123456789abcdef.tmp.rtl",  // not at the end
             ".mapdown-k3x9q2-0123456789ABCDEF.tmp",      // the token in capitals
             ".mapdown-k3x9q2-0123456789abcde.tmp",       // one digit short
             ".mapdown--0123456789abcdef.tmp",            // no tag
             ".mapdown-K3X9Q2-0123456789abcdef.tmp",      // not a tag
             ".mapdown-k3x9q2_0123456789abcdef.tmp",      // no dash
             "mapdown-k3x9q2-0123456789abcdef.tmp",       // not hidden
         }) {
        EXPECT_EQ(tag_of_temporary_name(other), "") << other;
    }
}

namespace {

// ---- Who may read ----------------------------------------------------------------

// Three users and root: alice runs the program (in groups 100 and 200), bob
// shares group 200 with her, carol is in group 300 alone.
struct User {
    std::uint32_t user;
    std::vector<std::uint32_t> groups;
};
const User alice{1000, {100, 200}}, bob{1001, {200}}, carol{1002, {300}}, root{0, {0}};

struct Bits {
    std::uint32_t owner, group, mode;
};

bool in_group(const User& user, std::uint32_t group) {
    return std::find(user.groups.begin(), user.groups.end(), group) != user.groups.end();
}

bool reads(const User& user, const Bits& file) {
    const std::uint32_t read = user.user == file.owner      ? 0400
                               : in_group(user, file.group) ? 040
                                                            : 04;
    return user.user == 0 || (file.mode & read) != 0;
}

FileFacts facts_of(const Bits& file) {
    FileFacts facts;
    note_bits(file.owner, file.group, file.mode, facts);
    return facts;
}

// What the new file comes to, as a system carries the plan out.
Bits new_file_of(const Bits& archive, const Bits* old, const User& runner) {
    const FileFacts archive_facts = facts_of(archive);
    FileFacts old_facts;
    if (old != nullptr) {
        old_facts = facts_of(*old);
    }
    const FileFacts* old_seen = old != nullptr ? &old_facts : nullptr;
    const AccessPlan plan =
        plan_access(archive_facts, old_seen, {runner.user, runner.user == 0, runner.groups});
    const std::uint32_t owner = plan.ownership.set_owner ? plan.ownership.owner : runner.user;
    const std::uint32_t group = plan.ownership.set_group ? plan.ownership.group : runner.groups[0];
    const std::uint32_t created = creation_mode(archive_facts, old_seen, plan) & ~022u;
    return {owner, group, final_mode(archive_facts, old_seen, plan, owner, group, created)};
}

}  // namespace

// Over every owner, group and read bit of an archive and of an old output,
// run by alice and by root: nobody but the one running may read the new
// file who could not read the archive, and the old output it replaces.
TEST(NewFileAccess, NobodyReadsWhatTheArchiveOrOldOutputKeptFromThem) {
    std::vector<Bits> archives, olds;
    for (const std::uint32_t owner : {alice.user, bob.user, carol.user}) {
        for (const std::uint32_t group : {100u, 200u, 300u}) {
            for (std::uint32_t bits = 0; bits < 8; ++bits) {
                const std::uint32_t mode =
                    0200 | (bits & 4) << 6 | (bits & 2) << 4 | (bits & 1) << 2;
                archives.push_back({owner, group, mode});
                olds.push_back({owner, group, mode | 04000 | 02000});
            }
        }
    }
    int cases = 0;
    for (const User* runner : {&alice, &root}) {
        for (const Bits& archive : archives) {
            if (!reads(*runner, archive)) {
                continue;  // never converted
            }
            for (std::size_t index = 0; index <= olds.size(); ++index) {
                const Bits* old = index < olds.size() ? &olds[index] : nullptr;
                const Bits made = new_file_of(archive, old, *runner);
                for (const User* user : {&alice, &bob, &carol}) {
                    if (user != runner && reads(*user, made)) {
                        EXPECT_TRUE(reads(*user, archive) && (old == nullptr || reads(*user, *old)))
                            << "user " << user->user << " run by " << runner->user << ": archive "
                            << archive.owner << ":" << archive.group << " " << std::oct
                            << archive.mode << ", old "
                            << (old ? std::to_string(old->owner) + ":" + std::to_string(old->group)
                                    : "none")
                            << " " << (old ? old->mode : 0) << ", new " << std::dec << made.owner
                            << ":" << made.group << " " << std::oct << made.mode;
                    }
                }
                ++cases;
            }
        }
    }
    EXPECT_GT(cases, 2000);
    // And whoever could read both still may, where the rule can tell: a
    // group's own archive, an archive anyone may read.
    EXPECT_EQ(new_file_of({alice.user, 200, 0640}, nullptr, alice).mode, 0640u);
    EXPECT_EQ(new_file_of({alice.user, 200, 0640}, nullptr, alice).group, 200u);
    EXPECT_EQ(new_file_of({bob.user, 300, 0644}, nullptr, alice).mode, 0644u);
    const Bits kept{bob.user, 200, 06664};
    EXPECT_EQ(new_file_of({bob.user, 300, 0644}, &kept, root).mode, 06664u);
    const Bits planted{carol.user, 300, 0666};  // by carol, who may not read the archive
    EXPECT_EQ(new_file_of({bob.user, 300, 0600}, &planted, root).owner, 0u);
}

// The access control lists: a new output takes its archive's own list, its
// named readers kept; a replaced one keeps the old output's; a list that
// cannot be read refuses the file. Where files have no owners (Windows) the
// lists are all there is.
TEST(NewFileAccess, EachOutputTakesTheListThatBoundsIt) {
    FileFacts listed, plain, unread;
    note_bits(alice.user, 100, 0640, listed);
    listed.acl = AclFact::present;
    listed.names_readers = true;
    note_bits(alice.user, 100, 0644, plain);
    unread.acl = AclFact::unreadable;
    const UserFacts user{alice.user, false, alice.groups};
    const AccessPlan from_archive = plan_access(listed, nullptr, user);
    EXPECT_EQ(from_archive.acl, AclSource::archive);
    EXPECT_EQ(final_mode(listed, nullptr, from_archive, alice.user, 100, 0644), 0640u);
    EXPECT_EQ(plan_access(listed, &plain, user).acl, AclSource::none);
    EXPECT_EQ(plan_access(plain, &listed, user).acl, AclSource::old);
    EXPECT_TRUE(plan_access(plain, &unread, user).refused);
    EXPECT_TRUE(plan_access(unread, nullptr, user).refused);
    // An archive whose ACL may shut someone out by name, replacing an old
    // output without one: only who anyone at all may be lets in.
    EXPECT_EQ(final_mode(listed, &plain, plan_access(listed, &plain, user), alice.user, 100, 0600),
              0600u);
    EXPECT_EQ(final_mode(plain, &listed, plan_access(plain, &listed, user), alice.user, 100, 0600),
              0640u);
    // Which file a name leads to is known or not.
    const FileIdentity known{1, 2, true}, elsewhere{3, 2, true}, unknown{1, 2, false};
    EXPECT_TRUE(same_file(known, known));
    EXPECT_FALSE(same_file(known, elsewhere));
    EXPECT_FALSE(same_file(known, unknown));
    EXPECT_FALSE(same_file(unknown, known));
    const FileFacts no_owners;
    EXPECT_EQ(creation_mode(no_owners, nullptr, {}), 0666u);
    EXPECT_EQ(final_mode(no_owners, nullptr, {}, 0, 0, 0), 0u);
    EXPECT_FALSE(plan_access(no_owners, nullptr, {}).ownership.set_group);
}
