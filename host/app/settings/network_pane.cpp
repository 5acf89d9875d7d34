// The Network pane: the stream's bandwidth ceiling, the connection paths offered, the client's
// smoothness buffer and the keyframe policy.
#include <cmath>
#include <functional>

#include "host/app/settings/settings_panes.hpp"
#include "host/app/settings/settings_values.hpp"

namespace tavlo {

namespace {

QCheckBox* addToggle(SettingsSection* section, const QString& text) {
  auto* toggle = new QCheckBox(text, section);
  section->content()->addWidget(toggle);
  return toggle;
}

int keyframeTenths(double seconds) {
  if (!std::isfinite(seconds)) return keyframeSliderMinTenths;
  return static_cast<int>(std::lround(std::clamp(seconds * 10.0, 1.0 * keyframeSliderMinTenths,
                                                 1.0 * keyframeSliderMaxTenths)));
}

}  // namespace

NetworkPane::NetworkPane(HostController& host, QWidget* parent) : QWidget(parent), host_(host) {
  auto* layout = new QVBoxLayout(this);

  // Bandwidth.
  sections[0] = new SettingsSection(
      tr("Maximum bandwidth to use"),
      tr("Main-stream ceiling (AIMD), logarithmic steps 0.3–300 Mbps. A limit below 2 Mbps also lowers the "
         "adaptation floor — lets you see behavior on a very thin link (compression → fps → detail). Works live; "
         "∞ = no limit (default)."),
      this);
  bandwidthValue = addValueRow(sections[0]->content(), tr("Bandwidth limit"));
  bandwidthSlider = new CommitSlider(tr("Bandwidth"), 0, static_cast<int>(bandwidthStepsKbps.size() - 1),
                                     tr("0.1M"), tr("∞"), sections[0]);
  sections[0]->content()->addWidget(bandwidthSlider);
  bandwidthSlider->onMove = [this](int position) { host_.maxBandwidthKbps.set(bandwidthStepKbps(position)); };
  // The setter stores and applies whatever it is given, also the value the knob already published.
  bandwidthSlider->onCommit = [this](int) { host_.setMaxBandwidthKbps(host_.maxBandwidthKbps.get()); };

  // Connection paths.
  sections[1] = new SettingsSection(
      tr("Allowed connection paths"),
      tr("Clients pick the best available path automatically: LAN → VPN → NAT → relay. Turning one off makes this "
         "computer stop offering it and drops any session already using it (the client reconnects over another "
         "allowed path). LAN = local network (mDNS); VPN = the tunnel address of this computer (WireGuard, "
         "Tailscale); NAT = direct from the internet (router port mapping); relay = both sides connect outbound to "
         "a forwarding server (works behind carrier NAT, only forwards encrypted bytes). Changing a switch during a "
         "session takes effect immediately."),
      this);
  allowNAT = addToggle(sections[1], tr("Allow NAT (direct from internet)"));
  allowLAN = addToggle(sections[1], tr("Allow LAN (local network)"));
  allowVPN = addToggle(sections[1], tr("Allow VPN (tunnel address)"));
  allowRelay = addToggle(sections[1], tr("Allow relay"));
  allPathsOff = makeNote(tr("⚠ All paths off — this computer is unreachable."), warningColour(), sections[1]);
  sections[1]->content()->addWidget(allPathsOff);
  // The switches write nothing themselves: the controller's setter publishes, stores and applies. The
  // pane then shows what the controller holds, which also puts back a switch the setter refused.
  auto wire = [this](QCheckBox* toggle, std::function<void(HostController&, bool)> set) {
    connect(toggle, &QCheckBox::clicked, this, [this, set = std::move(set)](bool on) {
      set(host_, on);
      refresh();
    });
  };
  wire(allowNAT, [](HostController& host, bool on) { host.setAllowNAT(on); });
  wire(allowLAN, [](HostController& host, bool on) { host.setAllowLAN(on); });
  wire(allowVPN, [](HostController& host, bool on) { host.setAllowVPN(on); });
  wire(allowRelay, [](HostController& host, bool on) { host.setAllowRelay(on); });

  // Smoothness buffer.
  sections[2] = new SettingsSection(
      tr("Smoothness buffer"),
      tr("Recovery window “up to X ms”: clean frames with NO added latency; on real loss the image pauses at most for "
         "the set budget while retransmission patches the gap and smoothly catches up. 0 = no buffer; 300–500 ms = "
         "cinematic mode on a lossy link."),
      this);
  bufferValue = addValueRow(sections[2]->content(), tr("Smoothness buffer"));
  bufferSlider = new CommitSlider(tr("Buffer"), 0, static_cast<int>(bufferMaxMs / bufferStepMs), tr("0"),
                                  tr("1000ms"), sections[2]);
  sections[2]->content()->addWidget(bufferSlider);
  bufferSlider->onMove = [this](int position) { host_.bufferMs.set(position * bufferStepMs); };
  bufferSlider->onCommit = [this](int) { host_.setBufferMs(host_.bufferMs.get()); };

  // Keyframe.
  sections[3] = new SettingsSection(
      tr("Keyframe"),
      tr("🌊 Streaming model. The slider in BOTH modes: “Automatic” = MAXIMUM interval (AIMD grows on a clean link, "
         "drops shorten it to 0.5 s); off = FIXED. Range up to 10 s. A lost frame does NOT freeze the image — a "
         "keyframe “straightens out” the corruption."),
      this);
  keyframeAutomatic = addToggle(sections[3], tr("Automatic (controls the link)"));
  keyframeValue = addValueRow(sections[3]->content(), QString(), true, &keyframeTitle);
  keyframeSlider = new CommitSlider(tr("Keyframe"), keyframeSliderMinTenths, keyframeSliderMaxTenths, tr("0.2s"),
                                    tr("10s"), sections[3]);
  sections[3]->content()->addWidget(keyframeSlider);
  connect(keyframeAutomatic, &QCheckBox::clicked, this, [this](bool on) {
    host_.kfAdaptive.set(on);
    host_.applyKeyframePolicy();
    refresh();
  });
  keyframeSlider->onMove = [this](int tenths) { host_.kfFixedSec.set(tenths / 10.0); };
  keyframeSlider->onCommit = [this](int) { host_.applyKeyframePolicy(); };

  for (SettingsSection* section : sections) layout->addWidget(section);
  layout->addStretch(1);

  for (Published<bool>* path : {&host_.allowNAT, &host_.allowLAN, &host_.allowVPN, &host_.allowRelay, &host_.kfAdaptive}) {
    observers_.follow(*path, [this] { refresh(); });
  }
  observers_.follow(host_.maxBandwidthKbps, [this] { refresh(); });
  observers_.follow(host_.bufferMs, [this] { refresh(); });
  observers_.follow(host_.kfFixedSec, [this] { refresh(); });
  refresh();
}

void NetworkPane::refresh() {
  bandwidthValue->setText(bandwidthLabel(host_.maxBandwidthKbps.get()));
  bandwidthSlider->showPosition(bandwidthStepIndex(host_.maxBandwidthKbps.get()));

  showChecked(allowNAT, host_.allowNAT.get());
  showChecked(allowLAN, host_.allowLAN.get());
  showChecked(allowVPN, host_.allowVPN.get());
  showChecked(allowRelay, host_.allowRelay.get());
  // The NAT switch reads secondary while it is off.
  QPalette natPalette = allowLAN->palette();
  if (!host_.allowNAT.get()) natPalette.setColor(QPalette::WindowText, secondaryColour());
  allowNAT->setPalette(natPalette);
  allPathsOff->setVisible(!host_.allowNAT.get() && !host_.allowLAN.get() && !host_.allowVPN.get() &&
                          !host_.allowRelay.get());

  const int64_t buffer = host_.bufferMs.get();
  bufferValue->setText(bufferLabel(buffer));
  bufferSlider->showPosition(static_cast<int>(std::clamp<int64_t>(buffer, 0, bufferMaxMs) / bufferStepMs));

  showChecked(keyframeAutomatic, host_.kfAdaptive.get());
  keyframeTitle->setText(host_.kfAdaptive.get() ? tr("Max interval (dynamic)") : tr("Fixed interval"));
  keyframeValue->setText(keyframeIntervalLabel(host_.kfFixedSec.get()));
  keyframeSlider->showPosition(keyframeTenths(host_.kfFixedSec.get()));
}

}  // namespace tavlo
