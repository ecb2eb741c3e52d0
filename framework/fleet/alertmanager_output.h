// Alerts to Prometheus Alertmanager (HOV_ALERTMANAGER=URL[,URL...]): one
// best-effort output per URL that keeps the alerts its events raise and
// posts them to URL/api/v2/alerts, firing ones again while they fire.
#ifndef QOR_FRAMEWORK_FLEET_ALERTMANAGER_OUTPUT_H_
#define QOR_FRAMEWORK_FLEET_ALERTMANAGER_OUTPUT_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/events/event_output.h"

// What HOV_ALERTMANAGER_CONFIG sets. Its secrets are never traced.
struct Alertmanager_Config {
  std::string authorization;  // "Authorization: ..." header; empty: none
  std::string ca_file;        // empty: the system's
  long resend_s = 60;         // firing alerts are sent again this often
  long resolve_s = 300;       // a plain situation's alert ends this late
  size_t alerts_max = 10000;  // alerts kept at most; more are dropped
};

// Splits HOV_ALERTMANAGER into its API roots (http:// or https://, no
// trailing '/'). False with *err naming the bad item.
[[nodiscard]] bool ParseAlertmanagerUrls(const std::string& text,
                                         std::vector<std::string>* urls,
                                         std::string* err);

// Reads the lines of a config file: "basic_auth USER:PASSWORD",
// "bearer_token TOKEN", "ca_file PATH", "resend_interval SECONDS",
// "resolve_after SECONDS"; '#' starts a comment. False with *err naming
// the line, never a secret.
[[nodiscard]] bool ParseAlertmanagerConfig(const std::string& text,
                                           Alertmanager_Config* config,
                                           std::string* err);

// One alert of Alertmanager's API v2 as JSON, made from an event line of the
// sink, at `now_s` (seconds since the epoch): a plain event's alert ends
// AlertmanagerResolveSeconds later. Empty when the line is no event or its
// situation does not alert ("alerts":false).
std::string AlertmanagerAlert(std::string_view line, long long now_s,
                              long resolve_s);
// How long a plain event's alert lasts: the line's "resolve" (its
// situation's ALERT ... RESOLVE), else `resolve_s`.
long AlertmanagerResolveSeconds(std::string_view line, long resolve_s);

// The outputs of HOV_ALERTMANAGER (none when it is unset) with
// HOV_ALERTMANAGER_CONFIG. False with *err.
[[nodiscard]] bool MakeAlertmanagerOutputs(
    std::vector<std::unique_ptr<Event_Output>>* outputs, std::string* err);

#endif  // QOR_FRAMEWORK_FLEET_ALERTMANAGER_OUTPUT_H_
