#pragma once

#include "app/ui/ListCharacters.h"
#include "app/ui/PropertyAnnouncer.h"
#include "core/profile/Chain.h"
#include "core/profile/Proxy.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

class CCorvantisApp;
class CProfileData;

// What the editor model asks of the dialogs that later sit around it. An empty function stands for a dialog
// that is not there: the removal dialog answers NO, the password prompt is cancelled, the proxy dialog's
// advanced box counts as hidden and its modal run is not stopped.
struct NSProfileSeams {
    // The removal dialog: takes the proxy or chain with `id` out of `profile` and lets the user choose a new
    // action for the rules that used it, in `profile`. False when the user cancelled (`profile` is then
    // dropped).
    std::function<bool(CProfileData& profile, int32_t id)> requestNewAction;
    // The password dialog, its password and confirmation fields filled with `prefill`, asked with `confirm`:
    // the password the user accepted, nothing when cancelled.
    std::function<std::optional<std::string>(const std::string& prefill, bool confirm)> getPassword;
    // The proxy dialog's folding box of advanced options: whether it shows, fold it (hide the box, show the
    // button that unfolds it, shrink the dialog keeping its top edge), unfold it (the reverse).
    std::function<bool()> advancedBoxVisible;
    std::function<void()> foldAdvancedBox;
    std::function<void()> unfoldAdvancedBox;
    // Ends the proxy dialog's modal run with `code`.
    std::function<void(int code)> endProxyDialog;
    // Makes the rule dialog's application view lay its text out anew.
    std::function<void()> relayoutApplicationView;
    // The current user's identifier, the key of the per-user encryption mode; empty when it cannot be read.
    // Empty function: GetCurrentUserGUID.
    std::function<std::string()> userGuid;
};

// One row of the proxies table.
struct ProxyRow {
    std::string name; // the host name as stored
    int port = 0;
    std::string type; // "SOCKS5", "SOCKS4", "HTTPS" or "HTTP"
    int32_t id = 0;
    int64_t num = 0; // position in the profile's proxy list
};

// A list text and the code-point positions of the characters its field refuses (which the window paints red).
struct MarkedText {
    std::string text;
    std::vector<std::size_t> refused;
};

// The model behind the profile editor: the proxy list and the proxy dialog, chains, rules and the rule dialog,
// name resolution, password encryption and the advanced switches of the active profile. It keeps no copy of
// the profile: every read copies the core object's active profile, and every change is made on such a copy that
// is stored back whole with saving on (the write-back), which installs it, writes the profile's file and posts
// "ProfileUpdated". What it does keep are the fields of the dialogs while the user edits them, the bound
// properties below, whose changes it announces by name through `properties()`. A setter given no value
// (std::nullopt) only announces its property.
//
// Indexes are positions in the profile's lists; a negative index is out of range, and an out-of-range index
// is ignored silently unless an operation says otherwise. Refusals are shown through MessageBox and leave the
// profile (and its file) as it was.
//
// Thread-safety: main thread only; another writer (the loop dialog, the automatic profile update) may store
// a profile between this object's read and its write-back, and the later store wins.
class NSProfile final {
public:
    // `app` must outlive this object.
    explicit NSProfile(CCorvantisApp& app, NSProfileSeams seams = {});
    NSProfile(const NSProfile&) = delete;
    NSProfile& operator=(const NSProfile&) = delete;

    PropertyAnnouncer& properties() { return m_properties; }

    // ---- Proxy list ----

    int64_t proxyCount() const;
    // Id of the proxy at `index`; 0 out of range.
    int32_t proxyId(int64_t index) const;
    // Host name as stored, port as decimal text, type name; "" out of range.
    std::string proxyName(int64_t index) const;
    std::string proxyPort(int64_t index) const;
    std::string proxyType(int64_t index) const;
    // The host text ("name:port") of the proxy with `id`; "" when no proxy has it.
    std::string proxyFullNameForId(int32_t id) const;
    std::string proxyNameForId(int32_t id) const;
    // The proxies table, rebuilt from `profile` by updateProxyList.
    const std::vector<ProxyRow>& proxyListArray() const { return m_proxyListArray; }
    void setProxyListArray(std::vector<ProxyRow> rows);
    void updateProxyList(const CProfileData& profile);
    // Removes a proxy: refused while a chain holds it; through the removal dialog when rules use it.
    void deleteProxy(int64_t index);

    // ---- Proxy dialog ----

    // Fills the dialog's fields from the proxy at `index`, or for a new proxy when out of range.
    void editProxy(int64_t index);
    void createProxy();
    // Derives the type flags from the type and folds the advanced box.
    void curProxyUpdate();
    // Unfolds the advanced box when it is folded.
    void curProxyAdvanced();
    // The dialog's OK: checks the fields and saves the proxy. True when the proxy was saved and the dialog's
    // run was ended; false when a check stopped it (the dialog stays open).
    bool curProxySave();
    // Adds (new) or replaces the proxy of the dialog in the active profile. False when the consistency check
    // refused it or the proxy being edited is no longer in the list (both shown).
    bool saveProxy();
    // The proxy the fields describe, with `id`.
    CProxy getCurProxyWithId(int32_t id) const;

    int64_t curProxyNum() const { return m_curProxyNum; }
    int32_t curProxyId() const { return m_curProxyId; }

    std::optional<std::string> curProxyAddr() const { return m_curProxyAddr; }
    void setCurProxyAddr(std::optional<std::string> value);
    // Nothing when the port is 0, else the port in decimal.
    std::optional<std::string> curProxyPort() const;
    // Stores the text's integer value (leading blanks, a sign and digits; 0 when none); nothing keeps the port.
    void setCurProxyPort(const std::optional<std::string>& value);
    // 0 SOCKS5, 1 SOCKS4, 2 HTTPS, 3 HTTP; -1 none chosen.
    std::optional<int> curProxyType() const { return m_curProxyType; }
    void setCurProxyType(std::optional<int> value);
    std::optional<bool> curProxyAuth() const { return m_curProxyAuth; }
    void setCurProxyAuth(std::optional<bool> value);
    std::optional<std::string> curProxyUser() const { return m_curProxyUser; }
    void setCurProxyUser(std::optional<std::string> value);
    std::optional<std::string> curProxyPass() const { return m_curProxyPass; }
    void setCurProxyPass(std::optional<std::string> value);

    // The option switches (bits of the proxy's option word).
    enum class ProxySwitch { Ntlm, AsIE, Ext4A, CurUserLogin, Negotiation, UseHostname };
    std::optional<bool> curProxySwitch(ProxySwitch which) const;
    void setCurProxySwitch(ProxySwitch which, std::optional<bool> value);

    // Derived from the type for the dialog; set by curProxyUpdate.
    bool curProxyIsSocks5() const { return m_curProxyIsSocks5; }
    bool curProxyIsSocks4() const { return m_curProxyIsSocks4; }
    bool curProxyIsHttps() const { return m_curProxyIsHttps; }
    bool curProxyIsHttp() const { return m_curProxyIsHttp; }
    // Whether the HTTP type is offered: for an HTTP proxy, else where the profile allows HTTP proxies.
    bool curProxyShowHttp() const { return m_curProxyShowHttp; }

    // ---- Chains ----

    // Appends "New Chain" with a new id and no entries.
    void addChain();
    // Removes a chain; through the removal dialog when rules use it.
    void delChain(int64_t chainIndex);
    int64_t chainsCount() const;
    // Entries of the chain; 0 out of range.
    int64_t proxysCountInChain(int64_t chainIndex) const;
    // The entry at `position`; {-1, false} out of range.
    CChainEntry proxyWithNum(int64_t position, int64_t chainIndex) const;
    // "" out of range.
    std::string chainName(int64_t chainIndex) const;
    void setNameForChain(const std::string& name, int64_t chainIndex);
    // Inserts the proxy with `proxyId` (enabled) before `position`, or appends it when the position is at or
    // past the end (a negative position counts as past the end). Refusals of the consistency check are shown.
    void addProxyToChain(int32_t proxyId, int64_t chainIndex, int64_t position);
    void setEnabledForProxyInChain(bool enabled, int64_t position, int64_t chainIndex);
    bool chainHaveProxy(int64_t chainIndex, int32_t proxyId) const;
    void delProxyFromChain(int64_t position, int64_t chainIndex);
    // Moves an entry so that it ends up before what stood at `to` (to − 1 after taking it out, when `to` lies
    // below it); refusals of the consistency check are shown.
    void moveProxyInChain(int64_t from, int64_t to, int64_t chainIndex);

    // ---- Rules ----

    int64_t rulesCount() const;
    // Enabled (1) or not (0); 3 for the Default rule (the last); nothing out of range.
    std::optional<int> ruleAllow(int64_t index) const;
    std::optional<std::string> ruleName(int64_t index) const;
    std::optional<std::string> ruleApp(int64_t index) const;
    std::optional<std::string> ruleHosts(int64_t index) const;
    std::optional<std::string> rulePorts(int64_t index) const;
    // The rule's position in ruleTargetNamesList; -1 for an action that names no existing proxy or chain.
    std::optional<int> ruleTarget(int64_t index) const;
    // Ignored for the Default rule.
    void setRuleAllow(int64_t index, bool allow);
    // Sets the action from a position in ruleTargetNamesList; other positions change nothing.
    void setRuleTargetAction(int64_t index, int64_t actionIndex);
    // Sets the action to the chain, else the proxy, with `id`; false when neither exists or out of range.
    bool setRuleTargetActionId(int64_t index, int32_t id);
    void setRuleName(int64_t index, const std::optional<std::string>& name);
    // Move a rule one place; the Default rule stays last (refusals shown).
    bool ruleUp(int64_t index);
    bool ruleDown(int64_t index);
    // Another writer inserted a rule at `index`: keeps the rule dialog on the rule it edits.
    void ruleAdded(int64_t index);

    // The action list: every chain, every proxy, "Direct", "Block".
    std::vector<std::string> ruleTargetNamesList() const;
    // Changes nothing; announces that the list may have changed.
    void setRuleTargetNamesList();

    // ---- Rule dialog ----

    // Fills the dialog from the rule at `index`; false for the Default rule (refusal shown) or out of range.
    bool editRule(int64_t index);
    void createRule();
    // Inserts "Copy of <name>" after the rule; false for the Default rule (shown) or out of range.
    bool cloneRule(int64_t index);
    bool deleteRule(int64_t index);
    // The dialog's OK: checks the fields (the first problem shown); nothing is stored.
    bool validateRule();
    // Stores the dialog's rule: a new one just before the Default rule, an existing one in its place. Nothing
    // on success, else the error text (the problem is shown).
    std::optional<std::string> saveRule();
    // Adds the program at `file` (an executable or a desktop entry) to the dialog's application list; false
    // for no file, or a desktop entry that runs no program (shown).
    bool addAppToRule(const std::optional<std::filesystem::path>& file);
    // The executable's name (quoted when it holds a blank), with the companion programs of a known
    // application when the user agrees to add them.
    std::string getFulListNamesForAppName(
        const std::string& appName, const std::optional<std::string>& identifier, const std::string& execName);
    // Gives the active profile the "Localhost" rule first, the "Default" rule last and the new-profile options.
    void initDefaultRule();

    int64_t curRuleNum() const { return m_curRuleNum; }
    std::optional<std::string> curRuleName() const { return m_curRuleName; }
    void setCurRuleName(std::optional<std::string> value);
    std::optional<std::string> curRuleApp() const { return m_curRuleApp; }
    void setCurRuleApp(std::optional<std::string> value);
    std::optional<std::string> curRuleHosts() const { return m_curRuleHosts; }
    void setCurRuleHosts(std::optional<std::string> value);
    std::optional<std::string> curRulePorts() const { return m_curRulePorts; }
    void setCurRulePorts(std::optional<std::string> value);
    // Position in ruleTargetNamesList; nothing or -1 when none is chosen.
    std::optional<int> curRuleTarget() const { return m_curRuleTarget; }
    void setCurRuleTarget(std::optional<int> value);
    std::optional<bool> curRuleEnabled() const { return m_curRuleEnabled; }
    void setCurRuleEnabled(std::optional<bool> value);

    // The three list texts with their refused characters; nothing when the text is nothing. The setters store
    // the plain text (nothing only announces).
    std::optional<MarkedText> curRuleAppAttr() const;
    std::optional<MarkedText> curRuleHostsAttr() const;
    std::optional<MarkedText> curRulePortsAttr() const;
    void setCurRuleAppAttr(const std::optional<std::string>& value);
    void setCurRuleHostsAttr(const std::optional<std::string>& value);
    void setCurRulePortsAttr(const std::optional<std::string>& value);
    // What the field's editor shows for a proposed text: the text marked anew; always accepted.
    static MarkedText validateListText(const std::string& proposed, ListField field);

    // ---- Name resolution and advanced switches ----

    enum class Switch {
        DnsAutomatic,
        DnsResolveThroughProxy,
        DnsTryLocalFirst,
        DnsOnlyFromListMode,
        DnsExclusionLocalhost,
        DnsExclusionSimple,
        DnsExclusionSelf,
        DnsExclusionLocalDomain,
        HandleDirectConnections,
        AllowHttpProxy,
        SystemConnections,
        OtherUserConnections,
        InfiniteLoopDetection,
        BlockUdp443,
    };
    // The property name a switch is announced under ("dnsAutomatic", ...).
    static const char* switchName(Switch which);
    // The switch as the active profile holds it.
    bool switchValue(Switch which) const;
    // Stores the value and writes back, also when it is unchanged (except AllowHttpProxy, written only when
    // it changes); BlockUdp443 then asks for a restart. Nothing only announces.
    void setSwitch(Switch which, std::optional<bool> value);

    // The DNS exclusion list dialog's text and its copy of the only-from-list mode.
    std::optional<std::string> dnsExclusionList() const { return m_dnsExclusionList; }
    void setDnsExclusionList(std::optional<std::string> value);
    std::optional<bool> dnsOnlyFromListModeDV() const { return m_dnsOnlyFromListModeDV; }
    void setDnsOnlyFromListModeDV(std::optional<bool> value);
    // Entries of the active profile's parsed exclusion list.
    int64_t excludeHostnamesCount() const;
    static bool allowNegotiationAuthorization() { return true; }
    // Fills the DNS list dialog from the active profile.
    void initDns();
    // The DNS list dialog's OK: checks and stores the list and the mode; false when refused (shown).
    bool validateDnsAndSave();
    // Announces every switch and encryption property and the action list, rebuilds the proxies table.
    void updateProfile();

    // ---- Password encryption ----

    // Getters answer whether the active profile uses that mode; the first three announce the master mode first.
    bool encModeDisabled();
    bool encModeBasic();
    bool encModeProfile();
    bool encModeMaster() const;
    // A true value chooses the mode (the per-user mode needs the user's identifier, the master mode a password
    // the user types); any value then announces all four modes, so the stored one shows as chosen.
    void setEncModeDisabled(std::optional<bool> value);
    void setEncModeBasic(std::optional<bool> value);
    void setEncModeProfile(std::optional<bool> value);
    void setEncModeMaster(std::optional<bool> value);
    // In the master mode: asks for a new master password, prefilled with the current one.
    void changeMasterPassword();

    std::optional<bool> masterPasswSwitchHide() const { return m_masterPasswSwitchHide; }
    void setMasterPasswSwitchHide(std::optional<bool> value);
    std::optional<bool> hideMasterPassSwitch() const { return m_hideMasterPassSwitch; }
    void setHideMasterPassSwitch(std::optional<bool> value);

private:
    CProfileData copyProfile() const;
    // Stores `profile` as the active profile and saves it.
    void writeBack(const CProfileData& profile);
    // Writes back when the profile passes the consistency check; otherwise shows the check's text under
    // `caption` and writes nothing.
    bool writeBackChecked(const CProfileData& profile, const char* caption);
    void announceEncryptionModes();
    // The disabled and basic modes: no key to ask for.
    void chooseSimpleMode(std::optional<bool> value, int mode, const char* property);
    void flipMasterPasswSwitchHide();
    std::string userGuid() const;
    // Shows `text` and answers true when `index` names the Default rule (the last) of `profile`.
    bool refuseDefaultRule(const CProfileData& profile, int64_t index, const char* text) const;
    std::optional<MarkedText> marked(const std::optional<std::string>& text, ListField field) const;

    CCorvantisApp& m_app;
    NSProfileSeams m_seams;
    PropertyAnnouncer m_properties;

    std::vector<ProxyRow> m_proxyListArray;
    int64_t m_curProxyNum = -1;
    int32_t m_curProxyId = 0;
    std::optional<std::string> m_curProxyAddr;
    uint64_t m_curProxyPort = 0;
    std::optional<int> m_curProxyType;
    std::optional<bool> m_curProxyAuth;
    std::optional<std::string> m_curProxyUser;
    std::optional<std::string> m_curProxyPass;
    std::optional<bool> m_curProxySwitches[6];
    bool m_curProxyIsSocks5 = false;
    bool m_curProxyIsSocks4 = false;
    bool m_curProxyIsHttps = false;
    bool m_curProxyIsHttp = false;
    bool m_curProxyShowHttp = false;

    int64_t m_curRuleNum = -1;
    std::optional<std::string> m_curRuleName;
    std::optional<std::string> m_curRuleApp;
    std::optional<std::string> m_curRuleHosts;
    std::optional<std::string> m_curRulePorts;
    std::optional<int> m_curRuleTarget;
    std::optional<bool> m_curRuleEnabled;

    std::optional<std::string> m_dnsExclusionList;
    std::optional<bool> m_dnsOnlyFromListModeDV;
    std::optional<bool> m_masterPasswSwitchHide;
    std::optional<bool> m_hideMasterPassSwitch;
};

} // namespace corvantis
