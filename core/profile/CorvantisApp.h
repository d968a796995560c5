#pragma once

#include "core/foundation/AppSettings.h"
#include "core/foundation/Log.h"
#include "core/foundation/Version.h"
#include "core/profile/AddressUtils.h"
#include "core/profile/AutoDnsModeDetection.h"
#include "core/profile/ConnectThrottle.h"
#include "core/profile/ProfileData.h"
#include "core/profile/TrafficStatistics.h"
#include "platform/Mutex.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace corvantis {

class CConnRecord;
class CHost;
class CRule;
struct CLogContext;

// The one core application object of a process; the whole core reaches it through `theApp`. It owns the
// running state: the active profile (handed out as copies), rules held outside the profile, the ids of new
// proxies and chains, the settings record, the traffic statistics, this machine's own names and addresses, the
// connection throttle, the queue of applications caught in a connection loop, and the object's own log. The
// application's object (CCorvantisAppUI) answers the password query by asking the user, the extension's
// (CCorvantisAppProxy) with an empty text.
//
// Lifetime: the programs never destroy their object (threads of its may still run at exit); tests build their
// own, stop its background threads and destroy it.
//
// Thread-safety: every public member may be called from any thread. `profileLock` guards the profile, the extra
// rules and the id counter; `networkLock` the own-identity lists and the state of the name-resolution mode
// detection. A thread may take `networkLock` while it holds `profileLock`, never the other way round. The
// settings, the throttle and the loop queue have leaf locks of their own; the statistics guard themselves.
class CCorvantisApp {
public:
    static constexpr const char* kVersion = kCorvantisVersion;
    static constexpr const char* kShortVersion = kCorvantisShortVersion;
    // Ids below this are never handed out for new proxies and chains.
    static constexpr int32_t kFirstAllocatedId = 100;

    // An empty profile stamped now, nothing read from disk. `throttleTiming` sets the connection throttle's
    // waits (tests shorten them).
    explicit CCorvantisApp(CConnectThrottle::Timing throttleTiming = {});
    CCorvantisApp(const CCorvantisApp&) = delete;
    CCorvantisApp& operator=(const CCorvantisApp&) = delete;
    // Never run in the programs. Stops the background threads that still run; a subclass whose threads call its
    // own members must stop them in its own destructor.
    virtual ~CCorvantisApp();

    // The password of a profile, empty when there is none: from the password cache when `fromCache` is set,
    // else by asking; `key` is the text the password will be checked against.
    virtual std::string GetProfilePassword(const std::string& profileName, bool fromCache, const std::string& key) = 0;

    // ---- The active profile ----

    // Copies the active profile, change stamp included, into `out`. With `withExtraRules` the extra rules are
    // put in front of the copy's rules, the last extra rule first.
    void GetProfile(CProfileData& out, bool withExtraRules) const;
    // The active profile (without the extra rules) as an unchangeable copy, shared by every caller until the
    // profile changes: then the next call makes a new one, and the holders of the old one keep it as it was.
    std::shared_ptr<const CProfileData> GetProfileSnapshot() const;
    // Makes `profile` the active profile: clears its DNS-changed mark, moves the id counter past its highest
    // proxy or chain id (to at least kFirstAllocatedId), and, on the first call and whenever its change stamp or
    // its automatic DNS mode option differs from the active profile's, starts or wakes the DNS mode detection. Then,
    // without the lock, saves it to its file when `saveToFile` is set, and posts "ProfileUpdated" on the main thread.
    // Returns false only when the save was asked for and failed (logged; the profile is installed all the same).
    bool SetProfile(CProfileData profile, bool saveToFile);

    // Rules held outside the profile (loop-prevention rules of this run): replace, append, copy.
    void SetExtraRules(std::vector<CRule> rules);
    void AddExtraRule(const CRule& rule);
    std::vector<CRule> GetExtraRules() const;

    // A new id for a proxy or chain, never handed out before since the last SetProfile and never used by the
    // active profile. Ids stay positive 32-bit numbers: once the counter has passed the largest one, the
    // smallest free id from kFirstAllocatedId up is taken.
    int32_t AllocateId();

    // Options of the active profile read without copying it: resolve host names through the proxy; detect
    // connection loops.
    bool IsResolveThroughProxy() const { return resolveThroughProxy.load(std::memory_order_relaxed); }
    bool GetProfileLoopOption() const { return profileLoopOption.load(std::memory_order_relaxed); }

    // Set while connections flagged by the extension's loop check are blocked.
    bool GetLoopDetectFlag() const { return loopBlockFlag.load(std::memory_order_relaxed); }
    void SetLoopDetectFlag(bool on) { loopBlockFlag.store(on, std::memory_order_relaxed); }

    // Set by the extension's object when it starts; the profile reader consults it.
    bool GetExtensionMode() const { return extensionMode.load(std::memory_order_relaxed); }
    void SetExtensionMode(bool on) { extensionMode.store(on, std::memory_order_relaxed); }

    // ---- Settings and statistics ----

    // A copy of the settings record; the record as a whole replaced (after LoadSettings, or when the user
    // changed it).
    CAppSettings GetSettings() const;
    void SetSettings(const CAppSettings& newSettings);
    // The traffic statistics of this process (thread-safe on their own).
    CTrafficStatistics& GetStatistics() { return statistics; }

    // ---- This machine's names and addresses ----

    // Whether `name` is one of this machine's names, in any letter case and with or without one trailing dot.
    // False for an empty name and before the lists are first filled.
    bool IsOwnHostName(const std::string& name) const;
    // Whether the address (network order) is one of this machine's IPv4 addresses.
    bool IsOwnIPv4(uint32_t address) const;
    // Whether the address is one of this machine's IPv6 addresses, or carries (IPv4-mapped or -compatible) one
    // of its IPv4 addresses.
    bool IsOwnIPv6(const IPv6Addr& address) const;

    // Replaces the three own-identity lists as a whole (the network watcher's pass). Names are stored in lower
    // case; IPv4 addresses are in network order.
    void SetOwnIdentity(std::vector<std::string> names, std::vector<uint32_t> ipv4, std::vector<IPv6Addr> ipv6);

    // ---- Name-resolution mode detection ----

    // Starts the DNS mode detection when it does not run yet, else tells it that something changed. SetProfile
    // calls it (holding `profileLock`); the extension's object may call it once at its start.
    void StartAutoDnsModeDetection();
    // Tells the detection that the network changed (the network watcher, and StartAutoDnsModeDetection).
    void SetNetworkChanged();
    // Whether the detection has been started.
    bool IsDetectionStarted() const;
    // Gives this object its DNS mode detection (the network watcher and the detection thread), which the first
    // SetProfile (or StartAutoDnsModeDetection) then launches; without it nothing is started. Each program calls
    // it once at start-up, before its first profile is installed, with the default config; tests with their own
    // probe and pause. Later calls change nothing.
    void EnableAutoDnsModeDetection(CAutoDnsModeDetection::Config config);

    // Answers of DecideDnsThroughProxy.
    static constexpr int kDnsThroughProxy = 1; // the name gets a placeholder address, the proxy resolves it
    static constexpr int kDnsLocal = 2; // the name goes to the local resolver
    // Whether `hostName`, asked for by the application of `context`, is resolved through the proxy under
    // `profile`: local when the profile does not resolve through the proxy; else local when the DNS name list
    // decides so (an exclusion list that holds the name, or an inclusion list that does not); else through the
    // proxy when the first enabled rule that takes the application and the name, among those that decide without
    // a port, sends it through a proxy or chain, and local otherwise. Writes the level-3 line
    // `resolve "<host>" on <where><reason>` in the application's log context.
    int DecideDnsThroughProxy(const std::string& hostName, const CLogContext& context, const CProfileData& profile,
        const std::string& where) const;

    // ---- Engine support ----

    // Counts a connection attempt to `target` (by its host name as given) and, when the host was tried before,
    // waits on the calling thread: (host count + overall count) × 10 ms, at most 1 s. Never call it on an event
    // loop thread. Returns the time waited.
    std::chrono::steady_clock::duration ThrottleConnect(const CHost& target);
    // The throttle's decay step, when its lock is free at once (the statistics thread, every 250 ms). Returns
    // whether it ran.
    bool TryDecayConnectThrottle() { return throttle.TryDecay(); }
    // The throttle itself, for reading its counts.
    const CConnectThrottle& GetConnectThrottle() const { return throttle; }

    // Queues an application caught in a connection loop for the user's prompt; a name already waiting is not
    // queued twice.
    void QueueLoopApp(const std::string& name);
    // The oldest queued name, removed from the queue; nothing when the queue is empty.
    std::optional<std::string> PopLoopApp();

    // ---- Identity and the object's log ----

    std::string GetVersion() const { return kVersion; }
    std::string GetShortVersion() const { return kShortVersion; }
    // A log of its own, apart from the process log; its file is rotated beyond 1 MiB.
    CLog& GetObjectLog() { return objectLog; }

    // ---- Start-up and profile documents (the application's object; CoreStartup.cpp) ----

    // The application's start of the core, once, on its main work thread: the log folder (once per process),
    // the welcome and log state lines, the traffic dump folder check, the active profile named by the settings
    // (falling back to a new default profile, with a warning unless that name was "default"; the active profile's
    // file is written back only after a password reset the user accepted, and the new default profile only when
    // there is no "default.ppx" yet), "ProfileUpdated"
    // and "GlobalUpdated" on the main thread, then the update check and the profile auto update when the
    // settings ask for them. Asks the user on the main thread, so it must not run there. The object must be
    // `theApp`, which the profile store loads into. Returns -1.
    int Start();
    // The release label of this build: "RC", "Dev ...", "Alpha ...", "Beta ..." or empty (MakeVersionSuffix).
    std::string GetVersionSuffix() const;
    // Makes "default" the active profile name, installs a new profile with the default content and saves it,
    // has the application write its settings (on the main thread, waiting for it), and logs "New default
    // profile loaded.". Returns 1.
    int LoadDefaultProfile();
    // Saves the active profile as the profile `name` and makes `name` the active profile name, after asking
    // whether to overwrite when a profile file of that name (in any letter case) exists. False when the user
    // declined, or when the file cannot be written: then the user is told and the active name stays as it was.
    bool SaveProfileAs(const std::string& name);

    // ---- Profile auto update and loop prevention (ProfileAutoUpdate.cpp) ----

    // Runs ProfileAutoUpdate with the URL and flags of the settings on a background thread of this object
    // (StopBackgroundThreads waits for it). False when no thread could be started.
    bool StartProfileAutoUpdate();
    // Downloads the active profile from `url` and installs it (saved to its file) in place of the active one.
    // With `urlIsFolder` the file fetched is `url` followed by the active profile's name and ".ppx"; without,
    // `url` names the file, whose name must be the active profile's. With `keepCredentials` the user names and
    // passwords of the active profile's proxies are kept for the same proxies of the new one. Skipped when the
    // user picks another profile while the download runs. True when the profile was replaced; every outcome is
    // logged. Asks the user for a master password when one is needed, so
    // it must not run on the main thread.
    bool ProfileAutoUpdate(const std::string& url, bool urlIsFolder, bool keepCredentials);
    // Puts the rule "<application> [auto-created]" (Direct, or Block with `blockRule`) for the application at the
    // top of the active profile's rules, replacing such a rule that is still first, and installs the profile
    // (saved to its file). A name that cannot be a rule's application is reported (a message box, or with
    // `quietReport` a notice) and changes nothing.
    void CreateLoopPreventionRule(const std::string& application, bool quietReport, bool blockRule);

    // ---- Background threads ----

    // Asks every background thread of this object to end, wakes those that wait, and waits until they have
    // ended. Afterwards no new background thread starts. For tests and orderly shutdowns; the programs may as
    // well leave them running until the process ends.
    void StopBackgroundThreads();

protected:
    // Writes the active profile to its file in the profiles folder; returns false when that failed. Called by
    // SetProfile without any lock held. This object has no profile store: it saves nothing and answers true.
    virtual bool SaveActiveProfile();
    // Starts the network watcher and the DNS mode detection thread; returns whether they run. Called without
    // `networkLock` (the threads may take it at once) but usually with `profileLock` held (from SetProfile), so
    // it must not read or write the profile on the calling thread; the started thread may. Launches the detection
    // given by EnableAutoDnsModeDetection; without one it starts nothing and answers false, so a later profile
    // change tries again.
    virtual bool LaunchAutoDnsModeDetection() REQUIRES(detectionStartLock);

    // Runs `body` on a new background thread named `name`, which StopBackgroundThreads waits for. Returns false
    // (and runs nothing) once a stop has been asked for or when no thread can be started. `body` should return
    // soon after IsStopRequested turns true; WaitForNetworkChange returns then.
    bool StartBackgroundThread(const std::string& name, std::function<void()> body);
    bool IsStopRequested() const;

    enum class WaitResult { Changed, TimedOut, Stopping };
    // Waits until the network changes (`networkChanged`, which it clears), a stop is asked for, or `timeout`
    // passes (no limit when empty). A change that came before the call returns at once.
    WaitResult WaitForNetworkChange(std::optional<std::chrono::steady_clock::duration> timeout);

    // Guards the own-identity lists and the detection state below.
    mutable Mutex networkLock;
    CondVar networkCond; // signalled with networkLock on changes and on a stop
    std::vector<std::string> ownNames GUARDED_BY(networkLock); // lower case
    std::vector<uint32_t> ownIPv4 GUARDED_BY(networkLock);
    std::vector<IPv6Addr> ownIPv6 GUARDED_BY(networkLock);
    bool networkChanged GUARDED_BY(networkLock) = false; // set by changes, taken by the detection
    bool detectionStarted GUARDED_BY(networkLock) = false;
    bool stopRequested GUARDED_BY(networkLock) = false;

    // The connections the extension's engine keeps, newest last; its object fills and walks the list.
    Mutex connListLock;
    std::list<std::shared_ptr<CConnRecord>> connList GUARDED_BY(connListLock);

private:
    // LoadDefaultProfile, saving the new profile to its file only with `saveToFile`.
    int InstallDefaultProfile(bool saveToFile);
    // After every change of the profile: refreshes the option copies and drops the shared snapshot.
    void PublishOptionsLocked() REQUIRES(profileLock);
    // The DNS mode detection's switch: when the active profile still asks for the detection and its
    // resolve-through-proxy option differs from `viaProxy` (or its DNS-changed mark is set), sets the option and
    // clears the mark in place, under profileLock, so that a profile installed meanwhile is changed, never
    // replaced by an older copy. Then saves and posts "ProfileUpdated" as SetProfile does. Returns whether it
    // switched.
    bool ApplyDetectedDnsMode(bool viaProxy);
    int32_t FindFreeIdLocked(int64_t after) const REQUIRES(profileLock);

    // Guards profile, profileSnapshot, extraRules, nextId and wrappedId.
    mutable Mutex profileLock;
    CProfileData profile GUARDED_BY(profileLock);
    // The copy GetProfileSnapshot hands out; empty until asked for after a change.
    mutable std::shared_ptr<const CProfileData> profileSnapshot GUARDED_BY(profileLock);
    std::vector<CRule> extraRules GUARDED_BY(profileLock);
    int64_t nextId GUARDED_BY(profileLock) = kFirstAllocatedId;
    int64_t wrappedId GUARDED_BY(profileLock) = kFirstAllocatedId - 1; // the last id found after the wrap
    bool profileSet GUARDED_BY(profileLock) = false; // whether SetProfile has run

    // Copies of profile options for readers that take no copy; written under profileLock.
    std::atomic<bool> resolveThroughProxy;
    std::atomic<bool> profileLoopOption;

    std::atomic<bool> loopBlockFlag { false };
    std::atomic<bool> extensionMode { false };

    mutable Mutex settingsLock; // taken alone
    CAppSettings settings GUARDED_BY(settingsLock);
    CTrafficStatistics statistics;

    // Taken by StartAutoDnsModeDetection around the whole start, after profileLock and before networkLock.
    Mutex detectionStartLock;
    // The detection thread uses the wait and the thread seams of this object.
    friend class CAutoDnsModeDetection;
    std::unique_ptr<CAutoDnsModeDetection> dnsModeDetection GUARDED_BY(detectionStartLock);

    CConnectThrottle throttle;

    Mutex loopLock;
    std::deque<std::string> loopQueue GUARDED_BY(loopLock);
    std::set<std::string> loopQueued GUARDED_BY(loopLock);

    CLog objectLog;

    Mutex threadsLock; // may be held while taking networkLock
    std::vector<std::thread> threads GUARDED_BY(threadsLock);
};

// The process's core application object. Each program stores its object here once, at load time, before any
// other thread starts; the core only reads it. Null until then (and in tests that build their own object).
extern CCorvantisApp* theApp;

} // namespace corvantis
