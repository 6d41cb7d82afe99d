#pragma once
// The update run that the wait window performs when an update command
// opened it: compare, confirm a downgrade, flash, wait, restart, report.
#include <cstdint>
#include <string>

#include "core/MainWindow.h"
#include "core/VersionOrder.h"
#include "core/WaitRequest.h"

namespace core {

inline constexpr std::uint32_t kRecyclerSettleMs = 5000;
inline constexpr std::uint32_t kBanknoteSettleMs = 25000;

// Fields of one wait window instance.
struct WaitFlags {
    std::uint8_t updateStarted = 0;
    bool updateFinished = false;
};

// Time as the run's waits see it.
class IClock {
public:
    virtual ~IClock() = default;
    virtual std::uint64_t NowMs() = 0;
    // Processes pending window events, sleeping at most `maxSleepMs` while
    // none arrive.
    virtual void PumpEvents(std::uint32_t maxSleepMs) = 0;
};

// Waits `ms` while events keep flowing; events are processed at least once.
void WaitKeepingEventsFlowing(IClock& clock, std::uint32_t ms);

class IWaitView {
public:
    virtual ~IWaitView() = default;
    virtual void SetInfo(const std::wstring& text) = 0;
    // The firmware write starts now and lasts until the run's report.
    virtual void BeforeWrite() = 0;
};

bool CoinRecyclerUpdatable(const IMainView& view, bool force);
bool BanknoteModuleUpdatable(const IMainView& view, IMessages& ui, bool force);

// TxtActualiza_GotFocus.
void RunUpdate(const Session& s, const std::wstring& updaterFolder, WaitRequest& request, WaitFlags& flags,
               IMainView& mainView, IWaitView& waitView, IMessages& ui, IClock& clock, MainState& state);

}  // namespace core
