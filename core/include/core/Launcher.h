#pragma once
// The launcher's run: stage the three payloads from the executable's own
// resources into the launcher folder, start the updater, wait for it and
// remove the files again. Everything that touches Windows sits behind
// ILauncherSystem so the order of steps can be exercised without it.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/Messages.h"

namespace core::launcher {

using Digest = std::array<std::uint8_t, 32>;  // SHA-256

struct Payload {
    const wchar_t* type;
    int id;
    const wchar_t* fileName;
    bool hidden;
    const wchar_t* message;  // shown when this payload cannot be staged or checked
};

inline constexpr std::size_t kUpdater = 0, kHopperImage = 1, kPayoutImage = 2;
inline constexpr std::array<Payload, 3> kPayloads{{
    {L"FIRMWARE", 104, L"Renvx.exe", true, L"Error al cargar recursos de aplicaci\u00F3n"},
    {L"SH", 105, L"SMARTHOPPER", false, L"Error al cargar recursos SH"},
    {L"SP", 106, L"SMARTPAYOUT", false, L"Error al cargar recursos SP"},
}};

inline constexpr int kShowMaximized = 3;
inline constexpr unsigned kSettleMs = 500;      // before the start and after the end of the updater
inline constexpr unsigned kRetryPauseMs = 200;  // clean-up of a file that is still locked
inline constexpr int kCleanupRetries = 10;

// A file opened so that nobody else can write, rename or delete it while
// the handle lives; its content is read through that same handle.
class IHeldFile {
public:
    virtual ~IHeldFile() = default;
    // True when the file holds exactly `bytes`, nothing more or less.
    virtual bool Holds(std::span<const std::uint8_t> bytes) = 0;
};

class IProcess {
public:
    virtual ~IProcess() = default;
    // Returns when the process has ended, keeping the caller's window
    // messages flowing meanwhile.
    virtual void Wait() = 0;
};

class ILauncherSystem {
public:
    virtual ~ILauncherSystem() = default;

    // The launcher folder without a trailing backslash.
    virtual std::wstring Folder() = 0;
    // One run per folder: false when another launcher holds this folder
    // (or the lock cannot be had at all). Held until the system goes away.
    virtual bool LockFolder(const std::wstring& folder) = 0;

    // Empty when no temporary file could be created.
    virtual std::wstring MakeTempFileName() = 0;
    // The resource's bytes, or nothing when it is missing or unreadable.
    virtual std::optional<std::span<const std::uint8_t>> ReadResource(const wchar_t* type, int id) = 0;
    virtual std::optional<Digest> Hash(std::span<const std::uint8_t> bytes) = 0;

    virtual bool Exists(const std::wstring& path) = 0;
    virtual bool IsReadOnly(const std::wstring& path) = 0;
    virtual bool WriteFile(const std::wstring& path, std::span<const std::uint8_t> bytes) = 0;
    virtual bool Delete(const std::wstring& path) = 0;
    virtual bool SetNormal(const std::wstring& path) = 0;
    virtual bool SetHiddenOnly(const std::wstring& path) = 0;
    // Works across drives; fails when the target exists.
    virtual bool MoveNoReplace(const std::wstring& from, const std::wstring& to) = 0;
    // Null when the file cannot be opened for reading.
    virtual std::unique_ptr<IHeldFile> Hold(const std::wstring& path) = 0;

    // Starts the file through the shell with no parameters and no working
    // folder; null when no process was started.
    virtual std::unique_ptr<IProcess> Start(const std::wstring& file, int showState) = 0;
    virtual void Sleep(unsigned ms) = 0;
    // A steady count of milliseconds, for pauses that other work has
    // partly used up.
    virtual std::uint64_t Milliseconds() = 0;
};

std::wstring TargetPath(const std::wstring& folder, const Payload& p);

// Writes one payload to the launcher folder and checks there that it holds
// the resource's bytes. On success for the updater, `held` keeps the staged
// file locked.
bool ExtractResource(ILauncherSystem& sys, const std::wstring& folder, const Payload& p,
                     std::unique_ptr<IHeldFile>* held);

// The whole run. `expected` holds the digests recorded at build time, in
// the order of kPayloads.
void Run(ILauncherSystem& sys, IMessages& messages, const std::array<Digest, 3>& expected);

}  // namespace core::launcher
