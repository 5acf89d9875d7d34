// The hello's display step: the virtual display sized for the client's window (under the process-wide
// display gate), or the main display when mirroring; then the stream, capture and injector sizes.
#include <cmath>
#include <string>

#include "hostcore/session/capped_stream_size.hpp"
#include "hostcore/session/capture_size.hpp"
#include "hostcore/session/client_hello_facts.hpp"
#include "hostcore/session/display_gate_lease.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "platform/runtime/checked_number.hpp"

namespace vela {

namespace {

// HQ downscale pays off only when the full backing is this much wider than the stream.
constexpr double hqMinWidthGain = 1.05;
constexpr double fullScaleFrom = 1.99;  // scales at or above count as ×2

int64_t truncated(double value) { return tavlo::truncateSaturating<int64_t>(value); }
int64_t evenAtLeast2(int64_t side) { return std::max<int64_t>(side, 2) & ~int64_t{1}; }

}  // namespace

std::optional<HostSession::HelloDisplay> HostSession::obtainVirtualDisplay(const ClientHello& hello) {
  HelloDisplay out;
  out.virtualPath = true;

  auto lease = DisplayGateLease::acquire(
      *deps_.displayGate, "handleHello", false,
      DisplayGateLease::Waiting{deps_.scheduler->clock(),
                                [this] {
                                  Locked locked(*this);
                                  return locked->identity.disconnected;
                                },
                                [this](const std::string& line) { log(line); }});
  if (!lease) {
    refuseHello("brama ekranu");
    return std::nullopt;
  }
  // Read under the gate: a displaced session's teardown that held it may just have dropped the display
  // and switched the physical displays back on; this hello must then make its own display main and
  // isolate again rather than rely on a display that is gone.
  out.hadDisplay = display_->isActive();

  int64_t baseW, baseH;
  double scale;
  {
    Locked locked(*this);
    locked->geometry.baseW = baseW = displaySideOf(hello.windowPxW);
    locked->geometry.baseH = baseH = displaySideOf(hello.windowPxH);
    scale = locked->geometry.scaleS;
  }
  auto created = display_->createDisplay(baseW, baseH);
  if (!created) {
    log("❌ nie udało się utworzyć wirtualnego ekranu");
    lease->release();
    refuseHello("brak ekranu");
    return std::nullopt;
  }
  out.displayID = created->displayID;
  if (setAsMain_ && !out.hadDisplay) {
    log(display_->setAsMainDisplay() ? "🖥️ wirtualny ekran ustawiony jako GŁÓWNY" : "⚠️ nie udało się ustawić jako główny");
  }

  const int64_t mW = truncated(scale * double(baseW));
  const int64_t mH = truncated(scale * double(baseH));
  bool recreate = display_->modeRequiresRecreate(mW, mH, baseW, baseH);
  if (!recreate && !display_->applyMode(mW, mH, baseW, baseH)) {
    log("⚠️ tryb startowy w miejscu odrzucony/podstawiony → recreate");
    recreate = true;
  }
  if (recreate) {
    auto again = display_->recreateForMode(mW, mH, baseW, baseH);
    if (!again) {
      log("❌ nie udało się odtworzyć wirtualnego ekranu pod tryb startowy");
      lease->release();
      refuseHello("brak ekranu");
      return std::nullopt;
    }
    out.displayID = again->displayID;
    if (setAsMain_) display_->setAsMainDisplay();
    log("♻️ ekran odtworzony pod tryb startowy (HiDPI↔1x, displayID " + std::to_string(out.displayID) + ")");
  }

  auto* windows = deps_.windowSystem.get();
  if (windows && scale < fullScaleFrom) {
    auto mode = windows->currentMode(out.displayID);
    if (mode && mode->width == mW && mode->pixelWidth == mode->width) {
      log("⚠️ tryb PODSTAWIONY na 1x pełnych px (" + std::to_string(mW) + "×" + std::to_string(mH) +
          ") — akceptuję (gęstszy UI), bez recreate");
    }
  }

  noteDisplayPixels(out.displayID, mW, mH);
  std::vector<std::string> sizeLines;
  {
    Locked locked(*this);
    auto capped = cappedStreamSize(locked->geometry, baseW, baseH, scale,
                                   StreamSizeContext{false, tunables_.encBudgetPxFps, locked->adaptation.seededStartBps});
    sizeLines = std::move(capped.logLines);
    // The client decodes nothing larger than its limit, whatever its window says.
    locked->geometry.maxDecodePxW = hello.maxDecodePxW;
    locked->geometry.maxDecodePxH = hello.maxDecodePxH;
    auto [dw, dh] = fitWithin(capped.w, capped.h, hello.maxDecodePxW, hello.maxDecodePxH);
    // Nor larger than the display it is captured from, whatever the window asked for.
    auto [cw, ch] = fitWithin(dw, dh, locked->geometry.displayPixelW, locked->geometry.displayPixelH);
    out.w = out.captureW = cw;
    out.h = out.captureH = ch;
    if (locked->geometry.hqDownscale && !locked->geometry.force1xActive) {
      // The window's backing, but never more than the display it is captured from has.
      const auto& g = locked->geometry;
      const auto [fw, fh] = fitWithin(evenAtLeast2(mW), evenAtLeast2(mH), g.displayPixelW, g.displayPixelH);
      if (double(fw) > double(cw) * hqMinWidthGain) {
        out.captureW = fw;
        out.captureH = fh;
      }
    }
  }
  for (const auto& line : sizeLines) log(line);

  out.pointsW = mW / 2;
  out.pointsH = mH / 2;
  if (windows) {
    auto bounds = windows->bounds(out.displayID);
    if (bounds && bounds->width > 1 && bounds->height > 1) {
      out.pointsW = bounds->width;
      out.pointsH = bounds->height;
    }
  }
  // From here the display answers to this session: a displaced session still ending leaves it alone.
  const uint64_t claim = deps_.displayGate->claimDisplay();
  lease->release();

  {
    Locked locked(*this);
    locked->engines.displayClaim = claim;
    locked->identity.sessionId = HostHello::randomSessionId(*deps_.random);
    locked->engines.providedDisplay = ProvidedDisplay{out.displayID, out.w, out.h};
    locked->geometry.currentPw = out.w;
    locked->geometry.currentPh = out.h;
  }
  log("✅ wirtualny ekran " + std::to_string(out.w) + "×" + std::to_string(out.h) + " (displayID " +
      std::to_string(out.displayID) + ")");
  logModeReport(out.displayID);
  return out;
}

std::optional<HostSession::HelloDisplay> HostSession::obtainMirrorDisplay() {
  auto* windows = deps_.windowSystem.get();
  const tavlo::DisplayId mainID = windows ? windows->mainDisplay() : 0;
  std::optional<tavlo::DisplayMode> mode = mainID ? windows->currentMode(mainID) : std::nullopt;
  std::optional<tavlo::DisplayBounds> bounds = mainID ? windows->bounds(mainID) : std::nullopt;
  if (!mode && !bounds) {
    log("❌ lustro: brak ekranu głównego");
    refuseHello("brak ekranu");
    return std::nullopt;
  }
  const int64_t pixelW = mode ? mode->pixelWidth : bounds->width;
  const int64_t pixelH = mode ? mode->pixelHeight : bounds->height;
  HelloDisplay out;
  out.displayID = mainID;
  {
    Locked locked(*this);
    auto& g = locked->geometry;
    g.baseW = evenAtLeast2(std::min<int64_t>(pixelW, ClientHelloLimits::maxSide));
    g.baseH = evenAtLeast2(std::min<int64_t>(pixelH, ClientHelloLimits::maxSide));
    out.w = out.captureW = evenAtLeast2(truncated(g.scaleS * double(g.baseW)));
    out.h = out.captureH = evenAtLeast2(truncated(g.scaleS * double(g.baseH)));
    locked.log("🪞 tryb lustra: ekran główny " + std::to_string(pixelW) + "×" + std::to_string(pixelH) + ", capture " +
               std::to_string(out.w) + "×" + std::to_string(out.h));
    locked->identity.sessionId = HostHello::randomSessionId(*deps_.random);
    locked->engines.providedDisplay = ProvidedDisplay{mainID, out.w, out.h};
    g.currentPw = out.w;
    g.currentPh = out.h;
  }
  log("✅ lustro " + std::to_string(out.w) + "×" + std::to_string(out.h) + " (displayID " + std::to_string(mainID) + ")");
  logModeReport(mainID);
  return out;
}

void HostSession::logModeReport(uint32_t displayID) {
  auto* windows = deps_.windowSystem.get();
  if (!windows) return;
  auto mode = windows->currentMode(displayID);
  if (!mode) return;
  auto bounds = windows->bounds(displayID).value_or(tavlo::DisplayBounds{});
  const bool hiDPI = mode->pixelWidth > mode->width;
  log("🔎 runtime tryb: punkty " + std::to_string(mode->width) + "×" + std::to_string(mode->height) + " px " +
      std::to_string(mode->pixelWidth) + "×" + std::to_string(mode->pixelHeight) + " " +
      (hiDPI ? "HiDPI ✅" : "1x (celowe przy skali 2.0 / ponad prowizją)") + " bounds " + std::to_string(bounds.width) +
      "×" + std::to_string(bounds.height) + " origin " + std::to_string(bounds.x) + "," + std::to_string(bounds.y) +
      " main=" + (windows->mainDisplay() == displayID ? "true" : "false"));
}

}  // namespace vela
