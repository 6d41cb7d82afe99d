#include "core/Launcher.h"

namespace core::launcher {

namespace {

const Payload& Updater() { return kPayloads[kUpdater]; }

void Refuse(IMessages& messages) { messages.Show(Updater().message, box::Ok); }

// A file that the updater has just let go of may stay locked for a moment
// (the system can still hold its image), so each file gets a short series
// of attempts; after that it is left for the next run to remove.
void RemoveWithRetries(ILauncherSystem& sys, const std::wstring& path, bool clearAttributes) {
    for (int attempt = 0;; ++attempt) {
        if (!sys.Exists(path)) return;
        if (clearAttributes) sys.SetNormal(path);
        if (sys.Delete(path)) return;
        if (attempt == kCleanupRetries) return;
        sys.Sleep(kRetryPauseMs);
    }
}

void CleanUp(ILauncherSystem& sys, const std::wstring& folder) {
    for (const Payload& p : kPayloads) RemoveWithRetries(sys, TargetPath(folder, p), p.hidden);
}

// Leftovers of a run that ended early. An updater copy that cannot go is
// taken to belong to an updater that still runs (an orphan of a killed
// launcher): its images must stay, so the caller stops.
bool RemoveLeftovers(ILauncherSystem& sys, const std::wstring& folder) {
    const std::wstring updater = TargetPath(folder, Updater());
    if (sys.Exists(updater)) {
        // Hidden alone does not stop a deletion; only a read-only bit is
        // cleared, so a copy in use keeps its attributes.
        if (!sys.Delete(updater) && sys.IsReadOnly(updater)) {
            sys.SetNormal(updater);
            sys.Delete(updater);
        }
        if (sys.Exists(updater)) return false;
    }
    sys.Delete(TargetPath(folder, kPayloads[kHopperImage]));
    sys.Delete(TargetPath(folder, kPayloads[kPayoutImage]));
    return true;
}

bool Matches(const std::optional<Digest>& digest, const Digest& expected) {
    return digest && *digest == expected;
}

// A damaged executable must never get as far as a device. The resources
// are hashed while the staged files settle: a time the run waits anyway,
// so the check costs the technician nothing for images of any size.
std::optional<std::size_t> FirstUnsound(ILauncherSystem& sys, const std::array<Digest, 3>& expected) {
    for (std::size_t i = 0; i < kPayloads.size(); ++i) {
        const auto bytes = sys.ReadResource(kPayloads[i].type, kPayloads[i].id);
        if (!bytes || !Matches(sys.Hash(*bytes), expected[i])) return i;
    }
    return std::nullopt;
}

// The images are not held between staging and the start: another program
// may have changed them meanwhile.
std::optional<std::size_t> FirstChangedImage(ILauncherSystem& sys, const std::wstring& folder) {
    for (std::size_t i : {kHopperImage, kPayoutImage}) {
        const auto bytes = sys.ReadResource(kPayloads[i].type, kPayloads[i].id);
        auto image = sys.Hold(TargetPath(folder, kPayloads[i]));
        if (!bytes || !image || !image->Holds(*bytes)) return i;
    }
    return std::nullopt;
}

void SettleFrom(ILauncherSystem& sys, std::uint64_t since) {
    const std::uint64_t spent = sys.Milliseconds() - since;
    if (spent < kSettleMs) sys.Sleep(static_cast<unsigned>(kSettleMs - spent));
}

}  // namespace

std::wstring TargetPath(const std::wstring& folder, const Payload& p) { return folder + L"\\" + p.fileName; }

bool ExtractResource(ILauncherSystem& sys, const std::wstring& folder, const Payload& p,
                     std::unique_ptr<IHeldFile>* held) {
    // The temporary file comes first, before the resource is known to be
    // there; a failure later leaves it in the temporary folder.
    const std::wstring temp = sys.MakeTempFileName();

    const auto bytes = sys.ReadResource(p.type, p.id);
    if (!bytes) return false;
    if (temp.empty() || !sys.WriteFile(temp, *bytes)) return false;

    const std::wstring target = TargetPath(folder, p);
    sys.Delete(target);
    // A move to another drive is a copy, which a full disk stops half-way
    // with the truncated file left under the payload's name, where the
    // updater and the device would take it for the payload. Only a file
    // that this move put there is removed: one that was in the way
    // belongs to somebody else.
    const bool targetFree = !sys.Exists(target);
    if (!sys.MoveNoReplace(temp, target)) {
        if (targetFree) sys.Delete(target);
        return false;
    }
    if (p.hidden && !sys.SetHiddenOnly(target)) return false;

    // Compared through a handle that locks the file, so what was compared
    // is what stays there while the handle lives. Whether the resource
    // itself is sound is settled before anything is started.
    auto hold = sys.Hold(target);
    if (!hold || !hold->Holds(*bytes)) {
        hold.reset();
        sys.Delete(target);
        return false;
    }
    if (held) *held = std::move(hold);
    return true;
}

void Run(ILauncherSystem& sys, IMessages& messages, const std::array<Digest, 3>& expected) {
    const std::wstring folder = sys.Folder();

    // Two launchers in one folder would delete each other's files.
    if (!sys.LockFolder(folder) || !RemoveLeftovers(sys, folder)) {
        Refuse(messages);
        return;
    }

    // The updater copy stays locked until its process exists; from then
    // on the system protects the running image. The images are not held:
    // the device component may want them for itself.
    std::unique_ptr<IHeldFile> updaterHeld;
    for (std::size_t i = 0; i < kPayloads.size(); ++i) {
        if (!ExtractResource(sys, folder, kPayloads[i], i == kUpdater ? &updaterHeld : nullptr)) {
            messages.Show(kPayloads[i].message, box::Ok);
            return;
        }
    }

    const std::uint64_t staged = sys.Milliseconds();
    auto unsound = FirstUnsound(sys, expected);
    if (!unsound) {
        SettleFrom(sys, staged);
        unsound = FirstChangedImage(sys, folder);
    }
    if (unsound) {
        updaterHeld.reset();
        messages.Show(kPayloads[*unsound].message, box::Ok);
        CleanUp(sys, folder);
        return;
    }

    // A start that fails leaves nothing to wait for; the clean-up follows
    // all the same, and whatever the shell said is all the user sees.
    auto process = sys.Start(TargetPath(folder, Updater()), kShowMaximized);
    updaterHeld.reset();
    if (process) process->Wait();
    process.reset();

    sys.Sleep(kSettleMs);
    CleanUp(sys, folder);
}

}  // namespace core::launcher
