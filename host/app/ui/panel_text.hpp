#pragma once
// The texts of the tray application's panels and menu, as plain functions of the controller's values
// so that they can be checked without a window system. Numbers are written locale-independently: the
// panels show the same digits whatever the user's locale (the logs are Polish, the numbers are not).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hostcore/session/diag_snapshot.hpp"

namespace tavlo::ui {

// "—" stands for a value that has no integer form (not finite, or beyond 64 bits).
inline constexpr const char* noValue = "—";

// Fixed-point ("%.Nf") and shortest general ("%.Ng") forms of `value`, "—" when it is not finite.
std::string fixed(double value, int decimals);
std::string general(double value, int precision);
// The integer part of `value` (toward zero) in decimal, or "—" when it has none.
std::string truncated(double value);
// `value` rounded to the nearest integer, halves away from zero, or "—" when it has none.
std::string rounded(double value);

// A byte count: "800 B", "2 KB", "4.8 MB".
std::string humanBytes(uint32_t bytes);

// The scale slider's value label: the integer part of scale × 100 and "%" (1.255 shows 125%).
std::string sliderPercent(double scale);
// The scale panel's percentage: scale × 100 rounded, and "%".
std::string scalePanelPercent(double scale);
// Where the scale panel's bar is filled, 0 to 1, for a scale of 1.0 to 2.0; 0 for a value that is not finite.
double scalePanelFill(double scale);

// The clipboard card's detail line, e.g. "42% · 4.8 MB".
std::string clipCardDetail(uint32_t sent, uint32_t total);
std::string clipCardTitle(bool sending);

// The disconnect chip's tooltip.
std::string disconnectTooltip(const std::string& clientName);

// The controller's values that the diagnostics rows read besides the snapshot.
struct DiagContext {
  bool clientConnected = false;
  std::optional<std::string> mappedVia;
  std::optional<std::string> publicEndpoint;
  bool allowNAT = true;
  bool useNATPMP = true;
  bool useUPnP = true;
  bool natOnDemand = true;  // the router's port waits for a session asked for through the relay
  bool allowLAN = true;
  bool allowVPN = true;
  bool allowRelay = true;
  std::string clientForcePath = "auto";
};

struct DiagRow {
  std::string label;
  std::string value;
};

// The 19 rows of the diagnostics table; empty when no stream runs (the panel then says "brak strumienia").
std::vector<DiagRow> diagRows(const std::optional<vela::DiagSnapshot>& diag, const DiagContext& context);
inline constexpr const char* noStreamText = "brak strumienia";

// The warning under the path picker when the client does not use the requested path; empty when none.
std::string pathMismatchWarning(const std::optional<vela::DiagSnapshot>& diag, const std::string& forcePath);

// The path picker's choices: the request value and its title.
struct PathChoice {
  const char* request;
  const char* title;
};
const std::vector<PathChoice>& pathChoices();

}  // namespace tavlo::ui
