#include "host/app/ui/panel_text.hpp"

#include <charconv>
#include <cmath>
#include <map>

namespace tavlo::ui {
namespace {

std::string chars(double value, std::chars_format format, int precision) {
  if (!std::isfinite(value)) return noValue;
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, format, precision);
  if (error != std::errc()) return noValue;
  return std::string(buffer, end);
}

// The integer form of `value`, when it has one that fits 64 bits.
std::optional<int64_t> toInteger(double value) {
  if (!std::isfinite(value) || value >= 9.2e18 || value <= -9.2e18) return std::nullopt;
  return static_cast<int64_t>(value);
}

std::string n(int64_t value) { return std::to_string(value); }
const char* onOff(bool on) { return on ? "on" : "off"; }

std::string natPart(const DiagContext& c) {
  if (!c.allowNAT) return "off";
  std::string part;
  if (c.useNATPMP) part += "PMP";
  if (c.useUPnP) part += c.useNATPMP ? "+UPnP" : "UPnP";
  if (!c.useNATPMP && !c.useUPnP) part += "brak metody";
  if (c.natOnDemand && !c.publicEndpoint) part += " (na żądanie: zamknięty)";
  return part;
}

const std::map<std::string, std::string>& requestToPath() {
  static const std::map<std::string, std::string> table{
      {"lan", "LAN"}, {"nat", "NAT"}, {"relay", "przekaźnik"}, {"vpn", "VPN"}};
  return table;
}

}  // namespace

std::string fixed(double value, int decimals) { return chars(value, std::chars_format::fixed, decimals); }
std::string general(double value, int precision) { return chars(value, std::chars_format::general, precision); }

std::string truncated(double value) {
  auto integer = toInteger(value);
  return integer ? n(*integer) : noValue;
}

std::string rounded(double value) {
  auto integer = toInteger(std::round(value));
  return integer ? n(*integer) : noValue;
}

std::string humanBytes(uint32_t bytes) {
  if (bytes < 1024) return n(bytes) + " B";
  if (bytes < 1048576) return fixed(bytes / 1024.0, 0) + " KB";
  return fixed(bytes / 1048576.0, 1) + " MB";
}

std::string sliderPercent(double scale) { return truncated(scale * 100) + "%"; }
std::string scalePanelPercent(double scale) { return rounded(scale * 100) + "%"; }

double scalePanelFill(double scale) {
  if (!std::isfinite(scale)) return 0;
  return std::max(0.0, std::min(scale - 1, 1.0));
}

std::string clipCardDetail(uint32_t sent, uint32_t total) {
  double fraction = total == 0 ? 0 : static_cast<double>(sent) / static_cast<double>(total);
  return truncated(fraction * 100) + "% · " + humanBytes(total);
}

std::string clipCardTitle(bool sending) { return sending ? "Sending to clipboard" : "Receiving from clipboard"; }

std::string disconnectTooltip(const std::string& clientName) {
  return clientName.empty() ? "Disconnect client" : "Disconnect: " + clientName;
}

std::vector<DiagRow> diagRows(const std::optional<vela::DiagSnapshot>& diag, const DiagContext& c) {
  if (!diag || !c.clientConnected) return {};
  const vela::DiagSnapshot& d = *diag;
  std::string stream = n(d.streamW) + "×" + n(d.streamH) + " @" + n(d.sentFps) + "/" + n(d.targetFps) + "fps";
  if (d.sentFps >= 1) stream += " · " + n(1000 / d.sentFps) + "ms";
  stream += " · gen " + n(d.generation);
  std::string scaling = "×" + fixed(d.scale, 2) + " · " + (d.force1x ? "1:1 (bez HiDPI)" : "HiDPI @2x") +
                        " · strumień ×" + general(d.surfaceRung, 3) +
                        (d.surfaceFloor < 0.995 ? " (podłoga " + general(d.surfaceFloor, 3) + ")" : "");
  std::string losses = n(d.lost60) + "/60 · nack " + n(d.nack) + " · FEC " + n(d.fecLossPct) + "%" + " · baza " +
                       n(d.lossBasePct) + "%" + (d.radioTolerant ? " 🛰" : "");
  std::string path = d.path == "NAT" && c.mappedVia ? "NAT (" + *c.mappedVia + ")" : d.path;
  std::string paths = "NAT " + natPart(c) + " · LAN " + onOff(c.allowLAN) + " · VPN " + onOff(c.allowVPN) +
                      " · relay " + onOff(c.allowRelay) + (c.publicEndpoint ? " · " + *c.publicEndpoint : "");
  std::string cascade = d.cascadeStage != 0 ? "etap " + n(d.cascadeStage) + " · deficyt " + n(d.deficitPct) +
                                                  "% · ruch " + n(d.motionPct) + "%"
                                            : "spokój (samo QP) · ruch " + n(d.motionPct) + "%";
  return {
      {"strumień", stream},
      {"ekran wirt.", n(d.modePtW) + "×" + n(d.modePtH) + " pt · " + n(d.modePxW) + "×" + n(d.modePxH) + " px"},
      {"skalowanie", scaling},
      {"źródło SCK", n(d.sckFps) + " fps · " + n(d.sckIntervalMs) + " ms · drop " + n(d.encodeDrop) + "/60"},
      {"enkoder", "avg " + n(d.encAvgMs) + " · max " + n(d.encMaxMs) + " ms · QP≤" + n(d.qp)},
      {"kompresja", "1:" + n(d.ratio) + " · " + fixed(d.bpp, 3) + " bpp · śr. " + fixed(d.avgFrameKB, 1) + " KB"},
      {"bitrate", fixed(d.appliedMbps, 1) + " Mb/s · tx " + n(d.txKbps) + " · rx " + n(d.rxKbps) + " kb/s"},
      {"straty", losses},
      {"FEC 🛡️", "narzut " + n(d.fecRedundancyPct) + "% · odzysk " + n(d.fecRecoveredPct) + "% · residual " +
                     n(d.fecResidualPct) + "%"},
      {"łącze", d.regime + " · zator " + d.clog},
      {"tor klienta", path},
      {"tory", paths},
      {"klient", "skład " + n(d.asmAvgMs) + "/" + n(d.asmMaxMs) + " · dekod " + n(d.decAvgMs) + "/" +
                     n(d.decMaxMs) + " ms"},
      {"keyframe", std::string(d.kfAdaptive ? "AIMD" : "stały") + " · " + fixed(d.kfSec, 2) + " s"},
      {"miękkie", "detal " + fixed(d.softPermille / 1000.0, 2) + "× · fps " + n(d.softFps) + " · cap enk. " +
                      n(d.encFpsCapNow)},
      {"kaskada", cascade},
      {"audio ↓", (d.audioDesc.empty() ? std::string(noValue) : d.audioDesc) + " · " + n(d.audioTxKbps) + "k"},
      {"kamera ↑", d.camDesc + (d.camRxKbps >= 1 ? " · rx " + n(d.camRxKbps) + "k" : "")},
      {"mikrofon ↑", d.micDesc + (d.micRxKbps >= 1 ? " · rx " + n(d.micRxKbps) + "k" : "")},
  };
}

std::string pathMismatchWarning(const std::optional<vela::DiagSnapshot>& diag, const std::string& forcePath) {
  if (forcePath == "auto" || !diag || diag->path == "—") return {};
  auto found = requestToPath().find(forcePath);
  if (found == requestToPath().end() || found->second == diag->path) return {};
  std::string upper = forcePath;
  for (char& ch : upper) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 'a' + 'A' : ch);
  return "⚠︎ żądanie " + upper + ", realny tor: " + diag->path;
}

const std::vector<PathChoice>& pathChoices() {
  static const std::vector<PathChoice> choices{
      {"auto", "auto"}, {"lan", "LAN"}, {"vpn", "VPN"}, {"nat", "NAT"}, {"relay", "relay"}};
  return choices;
}

}  // namespace tavlo::ui
