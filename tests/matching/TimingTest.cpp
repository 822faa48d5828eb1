// When the plug-in's work runs and which thread waits: the list completion
// leaves the state lock free while it works, and the object's end waits for
// timer actions instead of running under them.
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "MatchingTestUtil.h"
#include "plugin/Globals.h"

using namespace std::chrono_literals;
using namespace crwtest;

namespace {

// Notes, for each searcher's "Name : " line, whether another thread (a
// frame) could have taken the state lock at that moment.
class LockProbeHost : public TestHost {
public:
    explicit LockProbeHost(CRW& plugin) : plugin_(plugin) {}
    void log(const std::string& text) override
    {
        if (text.rfind("Name : ", 0) == 0) {
            const bool free = std::async(std::launch::async, [this] {
                                  if (!plugin_.stateMutex.try_lock()) {
                                      return false;
                                  }
                                  plugin_.stateMutex.unlock();
                                  return true;
                              }).get();
            (free ? freeLines : heldLines)++;
        }
    }
    int freeLines = 0, heldLines = 0; // completion thread only

private:
    CRW& plugin_;
};

} // namespace

TEST(Timing, ListCompletionWorksWithoutTheStateLock)
{
    PluginFixture f;
    LockProbeHost probe(f.plugin());
    crw::setGlobalHandles(probe.cvarManager, f.host().gameWrapper);
    deliverList(f.plugin(), {{"Ranked-2v2", 1000.f}}, 200,
                listAnswer({listEntry("a", "[" + playlist("Ranked-2v2", "1000", "100") + "]"),
                            listEntry("b", "[" + playlist("Other", "0", "0") + "]")}));
    crw::setGlobalHandles(f.host().cvarManager, f.host().gameWrapper);
    EXPECT_EQ(probe.freeLines, 2);
    EXPECT_EQ(probe.heldLines, 0);
    auto lock = lockState(f.plugin());
    EXPECT_EQ(creatorNames(f.plugin().searchers), (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(f.plugin().isLoadingSearchers);
}

// The one-minute clear fires while a frame holds the lock, and the object is
// destroyed before the frame ends: the action must neither run on freed
// members nor keep the destructor from finishing once the frame is over.
TEST(Timing, DestroyedWhileATimerActionWaitsForTheLock)
{
    crw::Intervals fast;
    fast.clearSearchers = 5;
    IntervalsGuard intervals(fast);
    PluginFixture f;
    std::unique_lock<std::recursive_mutex> frame(f.plugin().stateMutex);
    f.plugin().clearSearchersTimer.start();
    std::this_thread::sleep_for(60ms); // the countdown has ended; its action waits for the lock
    f.host().clearRecords();
    std::thread unload([&] { f.unload(); });
    std::this_thread::sleep_for(30ms);
    frame.unlock();
    unload.join();
    EXPECT_FALSE(hasLine(f.host().logs(), "Timer : Cleared Searchers"));
}

// The still-there time-out fires during the frame in which the player
// answers "Yes": the answer wins.
TEST(Timing, YesInTheFrameWhereTheTimeOutFiresKeepsTheRegistration)
{
    crw::Intervals fast;
    fast.stillThereTimeout = 5;
    IntervalsGuard intervals(fast);
    PluginFixture f;
    CRW& p = f.plugin();
    {
        auto frame = lockState(p);
        p.isRegistered = true;
        p.stillThereCheck.open = true;
        p.stillThereTimeoutTimer.start();
        std::this_thread::sleep_for(60ms);
        p.stillThereCheck.onYes();
        p.stillThereTimer.stop(); // only the time-out is under test
    }
    p.stillThereTimeoutTimer.shutdown();
    EXPECT_FALSE(hasLine(f.host().logs(), "Forcing to stop : timeout !"));
    auto lock = lockState(p);
    EXPECT_TRUE(p.isRegistered);
}
