// Result files put in place as one set: all or nothing when a rename fails or a temporary
// was swapped for a link, one set at a time per folder, a signal during the renames told
// truthfully, hidden names that fit any file name, and the leftovers of killed runs.
#include "result_files.h"
#include "run_tool.h"

#include <sys/file.h>

using namespace e2e;

namespace {

// A folder with earlier results "a" and "b", and a temporary written for each.
struct TwoResults {
    TempDir tmp;
    std::string a = (tmp.path() / "a").string(), b = (tmp.path() / "b").string();
    std::vector<SetMember> set;
    TwoResults()
    {
        write_text(a, "old a");
        write_text(b, "old b");
        for (const std::string *target : {&a, &b}) {
            int slot = -1;
            const int fd = create_temporary_beside(*target, slot);
            if (fd < 0) throw std::runtime_error("no temporary");
            const std::string text = "new " + target->substr(target->size() - 1);
            if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) throw std::runtime_error("write");
            close(fd);
            set.push_back(SetMember{slot, *target});
        }
    }
    ~TwoResults() { remove_temporaries(); }
    std::string hidden_temporary(const std::string &name) const
    {
        for (const std::string &n : names_in(tmp.path()))
            if (n.rfind("." + name + ".", 0) == 0 && n.size() > 5 && n.compare(n.size() - 5, 5, ".part") == 0)
                return (tmp.path() / n).string();
        return "";
    }
};

} // namespace

// A rename that fails after another succeeded (b's name is taken by a folder that is not
// empty), and a temporary that another user swapped for a link to a private file: either
// way every name holds what it held before, nothing is written through the link, and no
// hidden file is left.
TEST(ResultSet, AllOrNothing)
{
    for (const bool swapped : {false, true}) {
        SCOPED_TRACE(swapped ? "temporary swapped for a link" : "second rename fails");
        TwoResults r;
        const fs::path secret = r.tmp.path() / "secret";
        write_text(secret, "private");
        if (swapped) {
            const fs::path link = r.tmp.path() / "planted";
            fs::create_symlink(secret, link);
            fs::rename(link, r.hidden_temporary("b"));
        } else {
            fs::remove(r.b);
            fs::create_directories(fs::path(r.b) / "inside");
        }
        SetFailure failure;
        EXPECT_FALSE(put_set_in_place(r.set, failure));
        EXPECT_EQ(failure.member, 1);
        EXPECT_EQ(failure.displaced, swapped);
        EXPECT_EQ(read_text(r.a), "old a");
        EXPECT_EQ(read_text(secret), "private");
        if (swapped) {
            EXPECT_EQ(read_text(r.b), "old b");
        }
        EXPECT_EQ(names_in(r.tmp.path()), (std::vector<std::string>{"a", "b", "secret"}));
    }
}

// The set goes in whole once the folder's lock is free: a run that holds it keeps the
// earlier results in place until it lets go.
TEST(ResultSet, WaitsForTheFolderLock)
{
    TwoResults r;
    const int dir = open(r.tmp.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    ASSERT_EQ(flock(dir, LOCK_EX), 0);
    bool placed = false;
    std::thread commit([&] {
        SetFailure failure;
        placed = put_set_in_place(r.set, failure);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(read_text(r.a), "old a");
    EXPECT_EQ(read_text(r.b), "old b");
    close(dir);
    commit.join();
    EXPECT_TRUE(placed);
    EXPECT_EQ(read_text(r.a), "new a");
    EXPECT_EQ(read_text(r.b), "new b");
    EXPECT_EQ(names_in(r.tmp.path()), (std::vector<std::string>{"a", "b"}));
}

// A SIGTERM that arrives once the renames have begun waits for them to end; the process
// then dies of it, saying that the new results are all in place, which they are.
TEST(ResultSet, SignalDuringTheRenamesIsToldTruthfully)
{
    TempDir tmp;
    const fs::path err = tmp.path() / "err";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDERR_FILENO);
        TwoResults r;
        handle_interrupting_signals("tool", nullptr);
        hold_interrupting_signals(true);
        raise(SIGTERM); // pending until the set is in place
        SetFailure failure;
        put_set_in_place(r.set, failure);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(read_text(err), "tool: interrupted (SIGTERM) after every result was put in place; the new results "
                              "are complete\n");
}

// Names up to the longest a file name may be: the temporary fits beside them, and the
// leftovers that killed runs (processes that no longer exist) left for a name are removed
// by the next check of that name, not those of live processes or of other names.
TEST(ResultSet, LongNamesAndLeftoversOfKilledRuns)
{
    TempDir tmp;
    for (size_t length : {1u, 230u, 242u, 255u}) {
        SCOPED_TRACE(length);
        const std::string target = (tmp.path() / std::string(length, 'n')).string();
        write_text(target, "old");
        ASSERT_EQ(check_replaceable(target), 0);
        int slot = -1;
        const int fd = create_temporary_beside(target, slot);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        ASSERT_EQ(write(fd, "new", 3), 3);
        close(fd);
        SetFailure failure;
        ASSERT_TRUE(put_set_in_place({SetMember{slot, target}}, failure));
        EXPECT_EQ(read_text(target), "new");
        fs::remove(target);
    }
    const pid_t ended = fork();
    if (ended == 0) _exit(0);
    waitpid(ended, nullptr, 0);
    const std::string dead = std::to_string(ended), live = std::to_string(getpid());
    const std::vector<std::string> kept = {".r.raw." + live + "-0.part", ".other.raw." + dead + "-0.part",
                                           ".r.raw." + dead + "-x.part", "r.raw." + dead + "-0.part"};
    for (const std::string &n : kept) write_text(tmp.path() / n, "");
    for (const char *suffix : {"-0.part", "-3.old"}) write_text(tmp.path() / (".r.raw." + dead + suffix), "");
    EXPECT_EQ(check_replaceable((tmp.path() / "r.raw").string()), 0);
    std::vector<std::string> sorted = kept;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(names_in(tmp.path()), sorted);
}
