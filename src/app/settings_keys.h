#pragma once

// Every key the program keeps in the per-user settings store, with its owner.
namespace deskwave::keys {

// Bridge controller and lifecycle.
inline constexpr const char* keepAwake = "deskwave.keepAwake";            // bool: keep-awake switch
inline constexpr const char* useInternet = "deskwave.useInternet";        // bool: written true by startBridge
inline constexpr const char* selectedTools = "deskwave.selectedTools";    // list: onboarding; read by the history
inline constexpr const char* onboardingDone = "deskwave.onboardingDone";  // bool: onboarding
inline constexpr const char* onboardingStep = "deskwave.debug.onboardingStep";  // int: first onboarding step shown
inline constexpr const char* quitAlwaysKeepsWindows = "NSQuitAlwaysKeepsWindows";  // bool: written false at launch

// Tool store.
inline constexpr const char* manualTools = "deskwave.manualTools";    // list; removed for a new account
inline constexpr const char* removedTools = "deskwave.removedTools";  // list; removed for a new account

// Pairing.
inline constexpr const char* relayPin = "deskwave.relay.pin";          // string: written by `deskwave pair`
inline constexpr const char* relayAccount = "deskwave.relay.account";  // string: pairing setAccount

// Push sender.
inline constexpr const char* apnsDeviceToken = "deskwave.apns.deviceToken";  // string
inline constexpr const char* apnsSandbox = "deskwave.apns.sandbox";          // bool

// Claude monitor.
inline constexpr const char* claudeLastTS = "deskwave.claude.lastTS";  // string: newest turn reported
inline constexpr const char* claudeSessions = "deskwave.claude.sessions";  // string: JSON progress per session

// Account state (strings; tokens may live in the secret store instead).
inline constexpr const char* authUsername = "deskwave.auth.username";
inline constexpr const char* authSub = "deskwave.auth.sub";
inline constexpr const char* authIdToken = "deskwave.auth.idToken";
inline constexpr const char* authRefreshToken = "deskwave.auth.refreshToken";
inline constexpr const char* settingsOwner = "deskwave.settingsOwner";
inline constexpr const char* lastEmail = "deskwave.lastEmail";
inline constexpr const char* pendingSignupEmail = "deskwave.pendingSignup.email";
inline constexpr const char* pendingSignupUser = "deskwave.pendingSignup.user";
inline constexpr const char* pendingSignupTemp = "deskwave.pendingSignup.temp";

// Message store: "deskwave.mac.cursor", "deskwave.mac.codex", "deskwave.mac.code" and
// "deskwave.mac.extra." + lower-cased tool name hold JSON message lists (data values).
inline constexpr const char* historyPrefix = "deskwave.mac.";

}  // namespace deskwave::keys
