#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <vector>

#include "core/Launcher.h"

using namespace core::launcher;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Not SHA-256, but any change of content or length changes it, which is
// all the run relies on.
Digest FakeDigest(std::span<const std::uint8_t> b) {
    Digest d{};
    std::uint32_t h = 2166136261u;
    for (auto c : b) h = (h ^ c) * 16777619u;
    for (int i = 0; i < 4; ++i) d[i] = static_cast<std::uint8_t>(h >> (8 * i));
    d[4] = static_cast<std::uint8_t>(b.size());
    return d;
}

const std::wstring kFolder = L"C:\\run";
const std::wstring kExe = kFolder + L"\\Renvx.exe";
const std::wstring kSh = kFolder + L"\\SMARTHOPPER";
const std::wstring kSp = kFolder + L"\\SMARTPAYOUT";

struct File {
    Bytes bytes;
    bool hidden = false;
    bool readOnly = false;
    int locks = 0;          // open holds
    int busyDeletes = 0;    // further deletions that fail as "in use"
};

struct Fake : ILauncherSystem, core::IMessages {
    std::map<std::wstring, File> files;
    std::map<std::wstring, Bytes> resources;
    std::vector<std::wstring> log;
    std::vector<std::wstring> shown;
    std::vector<unsigned> sleeps;
    bool lockFree = true;
    bool tempWorks = true;
    bool startWorks = true;
    std::wstring diskFullAt;  // the move there leaves half the file and fails
    std::set<std::wstring> unhashable;  // resource keys the provider gives no digest for
    std::set<std::wstring> unreadable;  // staged files that cannot be read back
    std::uint64_t now = 0;               // milliseconds; only sleeps and hashing move it
    unsigned hashCost = 0;               // milliseconds each resource's digest takes
    int tempCount = 0;
    std::function<void(const std::wstring&)> afterMove;
    std::function<void()> onSleep;
    std::function<void()> onStart;

    Fake() {
        resources[L"FIRMWARE/104"] = Bytes(100, 0x4D);
        resources[L"SH/105"] = Bytes{'I', 'T', 'L', 1, 2, 3};
        resources[L"SP/106"] = Bytes{'I', 'T', 'L', 9, 8, 7, 6};
    }
    std::array<Digest, 3> Expected() {
        return {FakeDigest(resources[L"FIRMWARE/104"]), FakeDigest(resources[L"SH/105"]),
                FakeDigest(resources[L"SP/106"])};
    }
    void RunIt() { core::launcher::Run(*this, *this, Expected()); }
    bool Has(const std::wstring& p) const { return files.count(p) != 0; }
    std::size_t TempFiles() const {
        std::size_t n = 0;
        for (auto& [k, v] : files) n += k.rfind(L"T:\\TTT", 0) == 0;
        return n;
    }

    struct Held : IHeldFile {
        Fake& f;
        std::wstring path;
        Held(Fake& f, std::wstring p) : f(f), path(std::move(p)) { ++f.files[path].locks; }
        ~Held() override {
            f.log.push_back(L"release " + path);
            if (f.Has(path)) --f.files[path].locks;
        }
        bool Holds(std::span<const std::uint8_t> b) override {
            return !f.unreadable.count(path) && f.files[path].bytes == Bytes(b.begin(), b.end());
        }
    };
    struct Proc : IProcess {
        Fake& f;
        explicit Proc(Fake& f) : f(f) {}
        void Wait() override { f.log.push_back(L"wait"); }
    };

    int Show(const std::wstring& text, unsigned style) override {
        EXPECT_EQ(style, core::box::Ok);
        shown.push_back(text);
        log.push_back(L"box");
        return core::answer::Ok;
    }
    std::wstring Folder() override { return kFolder; }
    bool LockFolder(const std::wstring& folder) override {
        EXPECT_EQ(folder, kFolder);
        log.push_back(L"lock");
        return lockFree;
    }
    std::wstring MakeTempFileName() override {
        if (!tempWorks) return L"";
        std::wstring name = L"T:\\TTT" + std::to_wstring(++tempCount) + L".tmp";
        files[name] = File{};
        return name;
    }
    std::optional<std::span<const std::uint8_t>> ReadResource(const wchar_t* type, int id) override {
        auto it = resources.find(std::wstring(type) + L"/" + std::to_wstring(id));
        if (it == resources.end()) return std::nullopt;
        return std::span<const std::uint8_t>(it->second);
    }
    std::optional<Digest> Hash(std::span<const std::uint8_t> b) override {
        log.push_back(L"hash");
        now += hashCost;
        for (const auto& [key, bytes] : resources)
            if (bytes.data() == b.data() && unhashable.count(key)) return std::nullopt;
        return FakeDigest(b);
    }
    bool Exists(const std::wstring& p) override { return Has(p); }
    bool IsReadOnly(const std::wstring& p) override { return Has(p) && files[p].readOnly; }
    bool WriteFile(const std::wstring& p, std::span<const std::uint8_t> b) override {
        files[p].bytes.assign(b.begin(), b.end());
        return true;
    }
    bool Delete(const std::wstring& p) override {
        log.push_back(L"delete " + p);
        if (!Has(p)) return false;
        File& f = files[p];
        if (f.readOnly || f.locks > 0) return false;
        if (f.busyDeletes > 0) {
            --f.busyDeletes;
            return false;
        }
        files.erase(p);
        return true;
    }
    bool SetNormal(const std::wstring& p) override {
        log.push_back(L"normal " + p);
        if (!Has(p)) return false;
        files[p].hidden = files[p].readOnly = false;
        return true;
    }
    bool SetHiddenOnly(const std::wstring& p) override {
        if (!Has(p)) return false;
        files[p].hidden = true;
        files[p].readOnly = false;
        return true;
    }
    bool MoveNoReplace(const std::wstring& from, const std::wstring& to) override {
        if (!Has(from) || Has(to)) return false;
        if (to == diskFullAt) {
            const Bytes& b = files[from].bytes;
            files[to] = File{Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(b.size() / 2))};
            return false;
        }
        log.push_back(L"stage " + to);
        files[to] = File{files[from].bytes};
        files.erase(from);
        if (afterMove) afterMove(to);
        return true;
    }
    std::unique_ptr<IHeldFile> Hold(const std::wstring& p) override {
        if (!Has(p)) return nullptr;
        return std::make_unique<Held>(*this, p);
    }
    std::unique_ptr<IProcess> Start(const std::wstring& file, int show) override {
        EXPECT_EQ(file, kExe);
        EXPECT_EQ(show, 3);
        log.push_back(L"start");
        if (onStart) onStart();
        if (!startWorks) return nullptr;
        return std::make_unique<Proc>(*this);
    }
    void Sleep(unsigned ms) override {
        sleeps.push_back(ms);
        now += ms;
        log.push_back(L"sleep " + std::to_wstring(ms));
        if (onSleep) onSleep();
    }

    std::uint64_t Milliseconds() override { return now; }

    std::ptrdiff_t At(const std::wstring& entry) const {
        for (std::size_t i = 0; i < log.size(); ++i)
            if (log[i] == entry) return static_cast<std::ptrdiff_t>(i);
        return -1;
    }
};

TEST(Launcher, GoodRunStagesStartsWaitsAndRemovesEverything) {
    Fake f;
    // Leftovers of an earlier run, one of them read-only.
    f.files[kExe] = File{Bytes{1}, true, true};
    f.files[kSh] = File{Bytes{2}};
    f.files[kSp] = File{Bytes{3}};
    f.hashCost = 60;  // the digests take part of the pause before the start
    bool checkedAtStart = false;
    f.onStart = [&] {
        checkedAtStart = true;
        EXPECT_EQ(f.files[kExe].bytes, f.resources[L"FIRMWARE/104"]);
        EXPECT_TRUE(f.files[kExe].hidden);
        EXPECT_GT(f.files[kExe].locks, 0) << "updater copy must be locked until its process exists";
        EXPECT_EQ(f.files[kSh].bytes, f.resources[L"SH/105"]);
        EXPECT_FALSE(f.files[kSh].hidden);
        EXPECT_EQ(f.files[kSp].bytes, f.resources[L"SP/106"]);
        EXPECT_FALSE(f.files[kSp].hidden);
        EXPECT_EQ(f.files[kSh].locks + f.files[kSp].locks, 0) << "images must not be held";
    };
    f.RunIt();

    EXPECT_TRUE(checkedAtStart);
    EXPECT_TRUE(f.shown.empty());
    EXPECT_TRUE(f.files.empty()) << "staged files or temporary files left";
    EXPECT_LT(f.At(L"lock"), f.At(L"delete " + kExe));
    EXPECT_LT(f.At(L"stage " + kSp), f.At(L"hash"));
    EXPECT_LT(f.At(L"hash"), f.At(L"sleep 320"));
    EXPECT_LT(f.At(L"sleep 320"), f.At(L"start"));
    EXPECT_LT(f.At(L"start"), f.At(L"release " + kExe));
    EXPECT_LT(f.At(L"release " + kExe), f.At(L"wait"));
    EXPECT_EQ(f.sleeps, (std::vector<unsigned>{320, 500}));
    EXPECT_EQ(f.log.back(), L"delete " + kSp);
}

// Every way a payload can fail ends with that payload's message, leaves
// what earlier payloads wrote, and starts and cleans up nothing. Nothing
// incomplete or changed stays under the failed payload's name; a file of
// another program that was in the way stays as it was.
TEST(Launcher, StagingFailureShowsThatPayloadsMessageAndStops) {
    enum Kind { Missing, ChangedAfterWrite, TargetLocked, InTheWay, DiskFull, StagedUnreadable };
    for (std::size_t row = 0; row < 3; ++row) {
        for (Kind kind : {Missing, ChangedAfterWrite, TargetLocked, InTheWay, DiskFull, StagedUnreadable}) {
            SCOPED_TRACE(testing::Message() << "row " << row << " kind " << kind);
            Fake f;
            auto expected = f.Expected();
            const Payload& p = kPayloads[row];
            const std::wstring target = TargetPath(kFolder, p);
            const std::wstring key = std::wstring(p.type) + L"/" + std::to_wstring(p.id);
            if (kind == Missing) f.resources.erase(key);
            if (kind == ChangedAfterWrite)
                f.afterMove = [&](const std::wstring& to) { if (to == target) f.files[to].bytes.push_back(0); };
            if ((kind == TargetLocked || kind == InTheWay) && row == 0) continue;  // covered by the in-use test
            if (kind == TargetLocked) f.files[target].locks = 1;  // held by some other program
            // Another program's, busy for the removal of leftovers and the
            // staging's own deletion, free again just after.
            if (kind == InTheWay) f.files[target].busyDeletes = 2;
            if (kind == DiskFull) f.diskFullAt = target;
            if (kind == StagedUnreadable) f.unreadable.insert(target);
            core::launcher::Run(f, f, expected);

            ASSERT_EQ(f.shown, std::vector<std::wstring>{p.message});
            EXPECT_EQ(f.At(L"start"), -1);
            EXPECT_TRUE(f.sleeps.empty());
            for (std::size_t earlier = 0; earlier < row; ++earlier) {
                const std::wstring path = TargetPath(kFolder, kPayloads[earlier]);
                ASSERT_TRUE(f.Has(path)) << "earlier payload removed";
                EXPECT_EQ(f.files[path].hidden, kPayloads[earlier].hidden);
                EXPECT_EQ(f.files[path].locks, 0);
            }
            EXPECT_EQ(f.TempFiles(), kind == ChangedAfterWrite || kind == StagedUnreadable ? 0u : 1u);
            if (kind == TargetLocked || kind == InTheWay)
                EXPECT_TRUE(f.Has(target) && f.files[target].bytes.empty()) << "another program's file removed";
            else
                EXPECT_FALSE(f.Has(target)) << "an incomplete or changed payload left under its name";
        }
    }
}

// Found after staging, before the start: a payload whose resource is not
// what the build recorded, and an image that changed or cannot be read
// during the pause. Its message, no start, and nothing left anywhere.
TEST(Launcher, UnsoundPayloadFoundBeforeTheStartIsNeverHandedOn) {
    enum Kind { DamagedResource, ResourceUnhashed, ImageChanged, ImageUnreadable };
    for (std::size_t row = 0; row < 3; ++row) {
        for (Kind kind : {DamagedResource, ResourceUnhashed, ImageChanged, ImageUnreadable}) {
            if (row == kUpdater && (kind == ImageChanged || kind == ImageUnreadable)) continue;
            SCOPED_TRACE(testing::Message() << "row " << row << " kind " << kind);
            Fake f;
            const auto expected = f.Expected();
            const std::wstring target = TargetPath(kFolder, kPayloads[row]);
            const std::wstring key = std::wstring(kPayloads[row].type) + L"/" + std::to_wstring(kPayloads[row].id);
            if (kind == DamagedResource) f.resources[key].back() ^= 1;
            // A provider that fails is no match, never a pass.
            if (kind == ResourceUnhashed) f.unhashable.insert(key);
            f.onSleep = [&] {
                if (!f.Has(target)) return;
                if (kind == ImageChanged) f.files[target].bytes[0] ^= 0xFF;
                if (kind == ImageUnreadable) f.unreadable.insert(target);
            };
            core::launcher::Run(f, f, expected);
            EXPECT_EQ(f.shown, std::vector<std::wstring>{kPayloads[row].message});
            EXPECT_EQ(f.At(L"start"), -1);
            EXPECT_TRUE(f.files.empty()) << "clean-up must follow";
        }
    }
}

TEST(Launcher, AnotherRunInTheFolderIsLeftAlone) {
    auto otherRun = [](Fake& f) {
        f.files[kExe] = File{Bytes{7}, true};
        f.files[kSh] = File{Bytes{8}};
        f.files[kSp] = File{Bytes{9}};
    };
    {
        SCOPED_TRACE("folder lock taken");
        Fake f;
        otherRun(f);
        f.lockFree = false;
        f.RunIt();
        EXPECT_EQ(f.shown, std::vector<std::wstring>{kPayloads[0].message});
        EXPECT_EQ(f.log, (std::vector<std::wstring>{L"lock", L"box"}));
    }
    {
        SCOPED_TRACE("orphaned updater still running");
        Fake f;
        otherRun(f);
        f.files[kExe].busyDeletes = 1000;
        f.RunIt();
        EXPECT_EQ(f.shown, std::vector<std::wstring>{kPayloads[0].message});
        EXPECT_EQ(f.files.size(), 3u);
        EXPECT_TRUE(f.files[kExe].hidden);
        EXPECT_EQ(f.files[kSh].bytes, Bytes{8});
        EXPECT_EQ(f.files[kSp].bytes, Bytes{9});
        EXPECT_EQ(f.At(L"start"), -1);
    }
}

TEST(Launcher, CleanUpRetriesALockedFileForAboutTwoSeconds) {
    {
        SCOPED_TRACE("lock goes away");
        Fake f;
        f.onStart = [&] { f.files[kExe].busyDeletes = 3; };
        f.RunIt();
        EXPECT_TRUE(f.files.empty());
        EXPECT_EQ(f.sleeps, (std::vector<unsigned>{500, 500, 200, 200, 200}));
    }
    {
        SCOPED_TRACE("lock stays");
        Fake f;
        f.onStart = [&] { f.files[kSh].busyDeletes = 1000; };
        f.RunIt();
        // Eleven attempts with a 200 ms pause between each two: a total in
        // range would also come from fewer, longer pauses or from attempts
        // that follow each other at once.
        std::vector<std::wstring> cleanUp;
        for (auto i = static_cast<std::size_t>(f.At(L"wait")) + 1; i < f.log.size(); ++i)
            if (f.log[i] == L"delete " + kSh || f.log[i].rfind(L"sleep ", 0) == 0) cleanUp.push_back(f.log[i]);
        std::vector<std::wstring> expected{L"sleep 500", L"delete " + kSh};
        for (int pause = 0; pause < 10; ++pause) {
            expected.push_back(L"sleep 200");
            expected.push_back(L"delete " + kSh);
        }
        EXPECT_EQ(cleanUp, expected);
        EXPECT_TRUE(f.Has(kSh));
        EXPECT_FALSE(f.Has(kExe));
        EXPECT_FALSE(f.Has(kSp)) << "later files must still be removed";
        EXPECT_TRUE(f.shown.empty());
    }
}

}  // namespace
