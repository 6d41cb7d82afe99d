// Drives DispatchDevice against the simulator and reads the simulator's
// call log back, so each check sees the VARIANTs exactly as they arrived.
//
//   test_component suite <work folder>   all checks; exit code 0 when they pass
//   test_component probe                 which generations can be created
//   test_component check <image> <0|1>   CheckSmartFirmwareFile on an image
//   test_component chaos <image>         a fixed series of calls, one line each
#include <windows.h>

#include <cstdio>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "Component.h"
#include "ComponentThread.h"
#include "ComSupport.h"
#include "Win32Handles.h"

namespace {

int g_failures = 0;
std::string g_group;

void Fail(const std::string& what, int line) {
    ++g_failures;
    std::printf("FAIL [%s] line %d: %s\n", g_group.c_str(), line, what.c_str());
}

#define CHECK(cond) ((cond) ? void() : Fail(#cond, __LINE__))
#define CHECK_EQ(a, b) \
    (((a) == (b)) ? void() : Fail(std::string(#a " == " #b "; got ") + Show(a) + " vs " + Show(b), __LINE__))

std::string Show(const std::wstring& s) { return "\"" + com::ToUtf8(s) + "\""; }
std::string Show(const std::string& s) { return "\"" + s + "\""; }
template <class T>
std::string Show(const T& v) { return std::to_string(v); }

std::wstring g_dir;
updater::DispatchFactory g_factory;

std::wstring Path(const std::wstring& name) { return g_dir + L"\\" + name; }

void WriteFile(const std::wstring& path, const std::string& bytes) {
    win::Handle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD put = 0;
    if (f.Valid()) ::WriteFile(f.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
}

std::string ReadFile(const std::wstring& path) {
    win::Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr));
    std::string data;
    if (!f.Valid()) return data;
    char buf[65536];
    DWORD got = 0;
    while (::ReadFile(f.Get(), buf, sizeof buf, &got, nullptr) && got > 0) data.append(buf, got);
    return data;
}

// Each group runs with its own scenario and log.
void Scenario(const std::string& text) {
    WriteFile(Path(L"scenario.txt"), text);
    DeleteFileW(Path(L"calls.log").c_str());
    SetEnvironmentVariableW(L"ARCONSIM_SCENARIO", Path(L"scenario.txt").c_str());
    SetEnvironmentVariableW(L"ARCONSIM_LOG", Path(L"calls.log").c_str());
}

const std::string kOwnThread = "\tthread=" + std::to_string(GetCurrentThreadId());

// The lines as logged, less the thread field when it names this thread, so
// the checks compare what was called with what; a call from any other
// thread keeps its field and fails them.
std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    std::string all = ReadFile(Path(L"calls.log"));
    size_t pos = 0;
    for (size_t nl; (nl = all.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        std::string line = all.substr(pos, nl - pos);
        if (line.ends_with(kOwnThread)) line.resize(line.size() - kOwnThread.size());
        lines.push_back(line);
    }
    return lines;
}

std::string LastLine() {
    auto lines = LogLines();
    return lines.empty() ? std::string() : lines.back();
}

std::string Image(int device, const std::string& fw, const std::string& ds, size_t data = 64) {
    std::string b = "ITL";
    b += '\x01';
    b += static_cast<char>(device);
    for (const std::string* s : {&fw, &ds}) {
        b += static_cast<char>(s->size() & 0xFF);
        b += static_cast<char>(s->size() >> 8);
        b += *s;
    }
    for (size_t i = 0; i < data; ++i) b += static_cast<char>(i * 7);
    return b;
}

std::unique_ptr<core::IDevice> Create(const wchar_t* progId) {
    auto d = g_factory.Create(progId);
    if (!d) Fail("cannot create " + com::ToUtf8(progId), __LINE__);
    return d;
}

void Group(const char* name, const std::function<void()>& body) {
    g_group = name;
    int before = g_failures;
    body();
    std::printf("%s %s\n", g_failures == before ? "ok  " : "FAIL", name);
}

// ---------------------------------------------------------------------------

void CallsArriveWithTheirTypes() {
    Scenario("update.ms = 20\n");
    std::wstring sh = Path(L"SMARTHOPPER");
    WriteFile(sh, Image(0, "SH0300.20", "SHDS0101"));
    std::string shLog;
    for (char c : com::ToUtf8(sh)) shLog += c == '\\' ? std::string("\\\\") : std::string(1, c);
    {
        auto d = Create(core::kProgIdV2);
        if (!d) return;
        std::wstring host = L"127.0.0.1";
        CHECK(d->Connect(host, 8001, 8002, 0, 100001).Succeeded());
        CHECK_EQ(LastLine(), std::string("v2\tConnect\tBSTR|BYREF=127.0.0.1\tI2=8001\tI2=8002\tI2=0\tI4=100001\t=> I2=1"));
        CHECK(d->StartUp(0).Succeeded());
        CHECK_EQ(LastLine(), std::string("v2\tStartUp\tI2=0\t=> I2=1"));

        std::wstring fw, ds;
        auto r = d->GetFirmWareVersion(2, fw, ds);
        CHECK(r.result.kind == core::Value::Kind::Integer && r.result.integer == 1);
        CHECK_EQ(fw, std::wstring(L"SH0300.10"));
        CHECK_EQ(ds, std::wstring(L"SHDS0100"));
        CHECK_EQ(LastLine(), std::string("v2\tGetFirmWareVersion\tI2=2\tBSTR|BYREF=\tBSTR|BYREF=\t=> I2=1"));

        CHECK(d->CheckSmartFirmwareFile(sh, 0, fw, ds).Succeeded());
        CHECK_EQ(fw, std::wstring(L"SH0300.20"));
        CHECK_EQ(LastLine(), "v2\tCheckSmartFirmwareFile\tBSTR=" + shLog +
                                 "\tI2=0\tBSTR|BYREF=SH0300.10\tBSTR|BYREF=SHDS0100\t=> I2=1");

        CHECK(d->UpdateSmartFirmware(sh, 1).Succeeded());
        CHECK_EQ(LastLine(), "v2\tUpdateSmartFirmware\tBSTR=" + shLog + "\tI2=1\t=> I2=1");
        fw = ds = L"";
        d->GetFirmWareVersion(2, fw, ds);
        CHECK_EQ(fw, std::wstring(L"SH0300.20"));
        CHECK_EQ(ds, std::wstring(L"SHDS0101"));

        CHECK(d->Disconnect().Succeeded());
        CHECK(d->Terminate().Succeeded());
        CHECK_EQ(LastLine(), std::string("v2\tTerminate\t=> I2=1"));
    }
    {
        auto d = Create(core::kProgIdV1);
        if (!d) return;
        CHECK(d->StartUp(true, 0, 0, 0, 0, 254, 255, 8).Succeeded());
        CHECK_EQ(LastLine(), std::string("v1\tStartUp\tBOOL=-1\tI2=0\tI2=0\tI2=0\tI2=0\tI2=254\tI2=255\tI2=8\t=> I2=1"));
        CHECK(d->SoftStart().Succeeded());
        CHECK_EQ(LastLine(), std::string("v1\tSoftStart\t=> I2=1"));
        // The first generation's number for the coin recycler is 0.
        CHECK(d->UpdateSmartFirmware(sh, 0).Succeeded());
        CHECK(!d->UpdateSmartFirmware(sh, 1).Succeeded());  // an image for the other device
    }
    auto lines = LogLines();
    CHECK(!lines.empty() && lines.front() == "v2\tCreate");
    CHECK(!lines.empty() && lines.back() == "v1\tRelease");
}

void DeviceNumbersPerGeneration() {
    Scenario("device.validator.fw = \\u00A1CV\\s\ndevice.banknote.ds = NVDS0209\n");
    struct Case { const wchar_t* progId; std::int16_t validator, recycler, banknote; };
    for (Case c : {Case{core::kProgIdV2, 1, 2, 3}, Case{core::kProgIdV1, 2, 0, 1}}) {
        auto d = Create(c.progId);
        if (!d) return;
        std::wstring fw, ds;
        d->GetFirmWareVersion(c.validator, fw, ds);
        CHECK_EQ(fw, std::wstring(L"\u00A1CV "));
        d->GetFirmWareVersion(c.recycler, fw, ds);
        CHECK_EQ(fw, std::wstring(L"SH0300.10"));
        d->GetFirmWareVersion(c.banknote, fw, ds);
        CHECK_EQ(fw, std::wstring(L"NV0300.20"));
        CHECK_EQ(ds, std::wstring(L"NVDS0209"));
        fw = L"keep";
        ds = L"this";
        auto r = d->GetFirmWareVersion(7, fw, ds);
        CHECK(!r.raised && !r.Succeeded());
        CHECK_EQ(fw, std::wstring(L"keep"));
        CHECK_EQ(ds, std::wstring(L"this"));
    }
    CHECK(ReadFile(Path(L"calls.log")).find("BSTR|BYREF=keep") != std::string::npos);
}

void FailuresComeBackAsRaised() {
    Scenario("v2.Connect.result = raise:No device service\\tat 127.0.0.1\n"
             "v2.StartUp.result = hresult:0x80004005\n"
             "v2.GetFirmWareVersion.results = i2:1, raise:gone\n"
             "v2.CheckSmartFirmwareFile.result = raise:\n");
    auto d = Create(core::kProgIdV2);
    if (!d) return;
    std::wstring host = L"127.0.0.1";
    auto r = d->Connect(host, 8001, 8002, 0, 100001);
    CHECK(r.raised && !r.Succeeded());
    CHECK_EQ(r.description, std::wstring(L"No device service\tat 127.0.0.1"));
    CHECK_EQ(host, std::wstring(L"127.0.0.1"));
    CHECK(LastLine().ends_with("\t=> raise:No device service\\tat 127.0.0.1"));

    r = d->StartUp(0);
    CHECK(r.raised);
    CHECK(r.description.find(L"0x80004005") != std::wstring::npos);

    // A sequence: the first call returns, the later ones raise.
    std::wstring fw = L"a", ds = L"b";
    CHECK(!d->GetFirmWareVersion(1, fw, ds).raised);
    fw = L"old";
    CHECK(d->GetFirmWareVersion(1, fw, ds).raised);
    CHECK(d->GetFirmWareVersion(1, fw, ds).raised);
    CHECK_EQ(fw, std::wstring(L"old"));

    // Without a description the text still names the failure.
    r = d->CheckSmartFirmwareFile(L"x", 0, fw, ds);
    CHECK(r.raised && !r.description.empty());

    // No such object at all: the factory gives nothing, nothing throws.
    CHECK(!g_factory.Create(L"No.Such.Component"));
    CHECK(FAILED(g_factory.LastError()));
}

void ByReferenceStrings() {
    Scenario("v2.GetFirmWareVersion.write = none\n"
             "device.recycler.fw = A\\0B\n"
             "device.banknote.fw = repeat:8192:NV0300.2\n");
    auto v2 = Create(core::kProgIdV2);
    if (!v2) return;
    // A component that writes nothing leaves the caller's text, NULs included.
    std::wstring fw(L"x\0y", 3), ds = L"kept";
    CHECK(v2->GetFirmWareVersion(2, fw, ds).Succeeded());
    CHECK_EQ(fw, std::wstring(L"x\0y", 3));
    CHECK_EQ(ds, std::wstring(L"kept"));
    CHECK_EQ(LastLine(), std::string("v2\tGetFirmWareVersion\tI2=2\tBSTR|BYREF=x\\0y\tBSTR|BYREF=kept\t=> I2=1"));

    auto v1 = Create(core::kProgIdV1);
    if (!v1) return;
    v1->GetFirmWareVersion(0, fw, ds);
    CHECK_EQ(fw, std::wstring(L"A\0B", 3));
    v1->GetFirmWareVersion(1, fw, ds);
    CHECK_EQ(fw.size(), 65536u);
    // Long texts go to the log as their length only.
    v1->GetFirmWareVersion(1, fw, ds);
    CHECK(LastLine().find("\tBSTR|BYREF=<len 65536>\t") != std::string::npos);
}

void ResultConversion() {
    Scenario("v2.SoftStart.results = i2:0, i2:1, ui1:255, i4:256, i2:-1, bool:true, bool:false, str:12,"
             " empty, null, r8:2.5, i2:255\n");
    auto d = Create(core::kProgIdV2);
    if (!d) return;
    using K = core::Value::Kind;
    auto next = [&] { return d->SoftStart(); };
    auto r = next();
    CHECK(r.result.kind == K::Integer && r.result.integer == 0 && !r.Succeeded());
    r = next();
    CHECK(r.result.kind == K::Integer && r.result.integer == 1 && r.Succeeded());
    r = next();
    CHECK(r.result.kind == K::Integer && r.result.integer == 255 && r.Succeeded());
    CHECK_EQ(LastLine(), std::string("v2\tSoftStart\t=> UI1=255"));
    r = next();
    CHECK(r.result.kind == K::Integer && r.result.integer == 256 && !r.Succeeded());
    r = next();
    CHECK(r.result.kind == K::Integer && r.result.integer == -1 && !r.Succeeded());
    r = next();
    CHECK(r.result.kind == K::Boolean && r.result.boolean);
    r = next();
    CHECK(r.result.kind == K::Boolean && !r.result.boolean && !r.Succeeded());
    r = next();
    CHECK(r.result.kind == K::Text && r.result.text == L"12");
    r = next();
    CHECK(r.result.kind == K::Empty && !r.Succeeded());
    r = next();
    CHECK(r.result.kind == K::Null && !r.Succeeded());
    r = next();
    CHECK(r.result.kind == K::Real && r.result.real == 2.5);
    r = next();
    CHECK(r.result.kind == K::Integer && r.result.integer == 255 && r.Succeeded());
    r = next();  // the last one repeats
    CHECK(r.result.kind == K::Integer && r.result.integer == 255);

    // A VARIANT is read through only by reference. A plain VT_VARIANT read
    // as one would take its type from the value field and its value from
    // past the end, here set up to read as 1.
    struct { VARIANT plain, after; } bytes{};
    bytes.plain.vt = VT_VARIANT;
    bytes.plain.iVal = VT_I2;
    bytes.after.vt = 1;
    CHECK(updater::ToValue(bytes.plain).kind == K::Error);
    com::Variant one = com::Variant::I2(1);
    VARIANT ref{}, refRef{};
    ref.vt = refRef.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = one.Get();
    refRef.pvarVal = &ref;
    auto v = updater::ToValue(ref);
    CHECK(v.kind == K::Integer && v.integer == 1);
    CHECK(updater::ToValue(refRef).kind == K::Error);
    ref.pvarVal = &ref;
    CHECK(updater::ToValue(ref).kind == K::Error);
    ref.pvarVal = nullptr;
    CHECK(updater::ToValue(ref).kind == K::Empty);
}

void ImagesAreChecked() {
    Scenario("update.ms = 0\n");
    WriteFile(Path(L"good"), Image(1, "NV0300.30", "NVDS0201"));
    WriteFile(Path(L"wrongmagic"), "ITX" + Image(1, "NV0300.30", "NVDS0201").substr(3));
    WriteFile(Path(L"format2"), "ITL\x02" + Image(1, "NV0300.30", "NVDS0201").substr(4));
    WriteFile(Path(L"truncated"), Image(1, "NV0300.30", "NVDS0201", 0).substr(0, 12));
    WriteFile(Path(L"badutf8"), Image(1, "NV\xff", "NVDS0201"));
    WriteFile(Path(L"empty"), "");
    auto d = Create(core::kProgIdV2);
    if (!d) return;
    std::wstring fw = L"f", ds = L"d";
    CHECK(d->CheckSmartFirmwareFile(Path(L"good"), 1, fw, ds).Succeeded());
    CHECK_EQ(fw, std::wstring(L"NV0300.30"));
    CHECK_EQ(ds, std::wstring(L"NVDS0201"));
    for (const wchar_t* bad : {L"wrongmagic", L"format2", L"truncated", L"badutf8", L"empty", L"missing"}) {
        fw = L"f";
        ds = L"d";
        auto r = d->CheckSmartFirmwareFile(Path(bad), 1, fw, ds);
        if (r.raised || r.Succeeded()) Fail("image accepted: " + com::ToUtf8(bad), __LINE__);
        CHECK(fw == L"f" && ds == L"d");
        CHECK(!d->UpdateSmartFirmware(Path(bad), 3).Succeeded());
    }
    // An image for the banknote module is no image for the coin recycler.
    CHECK(!d->CheckSmartFirmwareFile(Path(L"good"), 0, fw, ds).Succeeded());
    CHECK(!d->UpdateSmartFirmware(Path(L"good"), 1).Succeeded());
    fw = ds = L"";
    d->GetFirmWareVersion(3, fw, ds);
    CHECK_EQ(fw, std::wstring(L"NV0300.20"));
}

void UpdatesPersistThroughState() {
    std::wstring state = Path(L"state.txt");
    DeleteFileW(state.c_str());
    Scenario("update.ms = 200\nstate = " + com::ToUtf8(state) + "\n");
    WriteFile(Path(L"SMARTPAYOUT"), Image(1, " NV\\0300.30\t", "NVDS0201"));
    {
        auto d = Create(core::kProgIdV2);
        if (!d) return;
        DWORD start = GetTickCount();
        CHECK(d->UpdateSmartFirmware(Path(L"SMARTPAYOUT"), 3).Succeeded());
        CHECK(GetTickCount() - start >= 150);  // the write blocks the caller
    }
    // A later object (or process) sees the device as the update left it.
    auto d = Create(core::kProgIdV1);
    if (!d) return;
    std::wstring fw, ds;
    d->GetFirmWareVersion(1, fw, ds);
    CHECK_EQ(fw, std::wstring(L" NV\\0300.30\t"));
    CHECK_EQ(ds, std::wstring(L"NVDS0201"));
    d->GetFirmWareVersion(0, fw, ds);
    CHECK_EQ(fw, std::wstring(L"SH0300.10"));
}

void ScenarioMistakesAreLogged() {
    Scenario("v2.Connect.result = i2:99999\nnonsense\n");
    auto d = Create(core::kProgIdV2);
    if (!d) return;
    auto lines = LogLines();
    CHECK_EQ(lines.size(), 3u);
    if (lines.size() == 3) {
        CHECK(lines[1].starts_with("v2\tScenarioError\tline 1:"));
        CHECK(lines[2].starts_with("v2\tScenarioError\tline 2:"));
    }
}

int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const auto& l : lines) n += l.starts_with(prefix) ? 1 : 0;
    return n;
}

void ChaosFollowsTheScenario() {
    // Every call faulted, but a result the scenario names is kept.
    Scenario("chaos = 11\nchaos.rate = 100\nchaos.delay_ms = 3\nv2.SoftStart.result = i2:7\n");
    auto d = Create(core::kProgIdV2);
    if (!d) return;
    int raised = 0;
    for (int i = 0; i < 40; ++i) {
        auto r = d->SoftStart();
        CHECK(!r.raised && r.result.kind == core::Value::Kind::Integer && r.result.integer == 7);
        std::wstring fw = L"f", ds = L"d";
        raised += d->GetFirmWareVersion(2, fw, ds).raised ? 1 : 0;
    }
    auto lines = LogLines();
    CHECK_EQ(CountPrefix(lines, "v2\tChaos\tSoftStart\tresult"), 0);
    CHECK_EQ(CountPrefix(lines, "v2\tChaos\tGetFirmWareVersion\tresult") +
                 CountPrefix(lines, "v2\tChaos\tGetFirmWareVersion\traise") +
                 CountPrefix(lines, "v2\tChaos\tGetFirmWareVersion\thresult"),
             40);
    CHECK(raised > 0 && raised < 40);
    CHECK(CountPrefix(lines, "v2\tChaos\tGetFirmWareVersion\tversion\t") > 0);

    // No chaos at rate 0: the operations answer as they would without it.
    Scenario("chaos = 11\nchaos.rate = 0\n");
    auto quiet = Create(core::kProgIdV1);
    if (!quiet) return;
    for (int i = 0; i < 20; ++i) {
        std::wstring fw, ds;
        CHECK(quiet->GetFirmWareVersion(0, fw, ds).Succeeded());
        CHECK_EQ(fw, std::wstring(L"SH0300.10"));
    }
    CHECK_EQ(CountPrefix(LogLines(), "v1\tChaos"), 0);
}

// Ends the whole run when a group hangs (a lost completion signal would
// keep a caller waiting for ever) instead of stalling it until an outside
// limit.
class Watchdog {
public:
    explicit Watchdog(DWORD ms) : ms_(ms), done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        thread_ = win::Handle(CreateThread(nullptr, 0, &Watchdog::Main, this, 0, nullptr));
    }
    ~Watchdog() {
        SetEvent(done_.Get());
        WaitForSingleObject(thread_.Get(), INFINITE);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    static DWORD WINAPI Main(void* p) {
        auto* self = static_cast<Watchdog*>(p);
        if (WaitForSingleObject(self->done_.Get(), self->ms_) == WAIT_OBJECT_0) return 0;
        std::printf("FAIL [%s]: still waiting after %lu ms\n", g_group.c_str(), self->ms_);
        std::fflush(stdout);
        ExitProcess(3);
    }
    DWORD ms_;
    win::Handle done_;
    win::Handle thread_;
};

void OneCallAtATimeOnTheComponentThread() {
    const Watchdog watchdog(20000);
    updater::ComponentThread* self = nullptr;
    int pumps = 0, secondRan = 0;
    bool secondAccepted = true;
    // The caller's window events during a call may try to start another.
    updater::ComponentThread thread([&] {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
        ++pumps;
        secondAccepted = self->Run([&] { ++secondRan; });
    });
    self = &thread;
    CHECK(thread.Started());

    DWORD worker = 0;
    PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0);
    CHECK(thread.Run([&] {
        worker = GetCurrentThreadId();
        Sleep(300);
    }));
    CHECK(worker != 0 && worker != GetCurrentThreadId());
    CHECK(pumps >= 1);
    CHECK(!secondAccepted);
    CHECK_EQ(secondRan, 0);

    // Not a COM error: a C++ exception of the work reaches the caller, and
    // the thread takes the next call.
    bool caught = false;
    try {
        thread.Run([] { throw std::bad_alloc(); });
    } catch (const std::bad_alloc&) {
        caught = true;
    }
    CHECK(caught);
    CHECK(thread.Run([&] { ++secondRan; }));
    CHECK_EQ(secondRan, 1);
}

int Suite(const std::wstring& dir) {
    g_dir = dir;
    CreateDirectoryW(dir.c_str(), nullptr);
    Group("calls arrive with their types", CallsArriveWithTheirTypes);
    Group("device numbers per generation", DeviceNumbersPerGeneration);
    Group("failures come back as Raised", FailuresComeBackAsRaised);
    Group("by-reference strings", ByReferenceStrings);
    Group("result conversion", ResultConversion);
    Group("images are checked", ImagesAreChecked);
    Group("updates persist through state", UpdatesPersistThroughState);
    Group("scenario mistakes are logged", ScenarioMistakesAreLogged);
    Group("chaos follows the scenario", ChaosFollowsTheScenario);
    Group("one call at a time on the component thread", OneCallAtATimeOnTheComponentThread);
    std::printf("%d failure(s)\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}

// A fixed series of calls on both generations, one line each: what came
// back, with texts as length and checksum (they may hold NULs or 64 KiB).
// The scenario comes from the environment, as for any client.
int ChaosTrace(const std::wstring& image) {
    auto text = [](const std::wstring& s) {
        unsigned long sum = 0;
        for (wchar_t c : s) sum = sum * 31 + static_cast<unsigned>(c);
        return std::to_string(s.size()) + ":" + std::to_string(sum);
    };
    auto show = [&](const core::CallResult& r) {
        if (r.raised) return "raised:" + com::ToUtf8(r.description);
        const core::Value& v = r.result;
        return std::to_string(static_cast<int>(v.kind)) + ":" + std::to_string(v.integer) + ":" +
               std::to_string(v.boolean) + ":" + com::ToUtf8(v.text);
    };
    for (const wchar_t* id : {core::kProgIdV2, core::kProgIdV1}) {
        auto d = g_factory.Create(id);
        if (!d) return 2;
        const bool v2 = id == core::kProgIdV2;
        for (int i = 0; i < 60; ++i) {
            std::wstring fw = L"f", ds = L"d", host = L"127.0.0.1";
            std::string line;
            switch (i % 6) {
            case 0: line = show(d->Connect(host, 8001, 8002, 0, 100001)); break;
            case 1: line = show(v2 ? d->StartUp(0) : d->StartUp(true, 0, 0, 0, 0, 254, 255, 8)); break;
            case 2: line = show(d->GetFirmWareVersion(v2 ? 2 : 0, fw, ds)); break;
            case 3: line = show(d->CheckSmartFirmwareFile(image, 0, fw, ds)); break;
            case 4: line = show(d->UpdateSmartFirmware(image, v2 ? 1 : 0)); break;
            default: line = show(d->Terminate()); break;
            }
            std::printf("%s\t%s\t%s\n", line.c_str(), text(fw).c_str(), text(ds).c_str());
        }
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    com::Apartment apartment;
    if (!apartment.Ok()) return 3;
    std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"suite" && argc > 2) return Suite(argv[2]);
    if (mode == L"probe") {
        for (const wchar_t* id : {core::kProgIdV2, core::kProgIdV1})
            std::printf("%s=%s\n", com::ToUtf8(id).c_str(), g_factory.Create(id) ? "yes" : "no");
        return 0;
    }
    if (mode == L"chaos" && argc > 2) return ChaosTrace(argv[2]);
    if (mode == L"check" && argc > 3) {
        auto d = g_factory.Create(core::kProgIdV2);
        if (!d) return 2;
        std::wstring fw, ds;
        auto r = d->CheckSmartFirmwareFile(argv[2], static_cast<std::int16_t>(_wtoi(argv[3])), fw, ds);
        std::printf("%d\t%s\t%s\n", r.Succeeded() ? 1 : 0, com::ToUtf8(fw).c_str(), com::ToUtf8(ds).c_str());
        return 0;
    }
    std::printf("usage: test_component suite <folder> | probe | check <image> <0|1> | chaos <image>\n");
    return 2;
}
