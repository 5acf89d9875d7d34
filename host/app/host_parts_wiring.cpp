#include "host/app/host_parts_wiring.hpp"

#include <utility>

#include "host/app/router_port_mappers.hpp"
#include "host/controller/host_controller.hpp"
#include "host/controller/link_memory_store.hpp"
#include "host/desktop/cam_sink_feeder.hpp"
#include "host/desktop/default_input_guard.hpp"
#include "host/desktop/mailbox_camera_sinks.hpp"
#include "host/desktop/mic_shm_writer.hpp"
#include "host/desktop/virtual_display_controller.hpp"
#include "host/reachability/bonjour_advertiser.hpp"
#include "host/reachability/probe_responder.hpp"
#include "platform/pulse/pulse_audio_devices.hpp"
#include "platform/runtime/serial_executor.hpp"

namespace tavlo {

RunningInstanceSteps wireParts(HostControllerSeams& seams, const std::shared_ptr<VirtualDisplayController>& displays,
                               const std::shared_ptr<const SessionBackends>& sessions,
                               HostController* const& controller, Scheduler& scheduler) {
  if (displays) {
    seams.recoverDisplayIsolation = [displays] { displays->recoverIsolationOnLaunch(); };
    seams.setDisplayLogSink = [](LogSink sink) { VirtualDisplayController::setLogSink(std::move(sink)); };
    seams.setForce1xSuppressed = [](bool on) { VirtualDisplayController::setForce1xSuppressed(on); };
    seams.setActiveForce1x = [](bool on) { VirtualDisplayController::setActiveForce1x(on); };
  }
  if (sessions) {
    seams.prewarmCapture = [sessions] { sessions->prewarmCapture(); };
    seams.makeSession = [sessions, &controller](vela::SessionConfig config) {
      return sessions->makeSession(std::move(config), controller->controlPortInUse());
    };
  }
  // The default audio input follows the client: the virtual microphone while one is connected.
  auto audioDevices = std::make_shared<PulseAudioDevices>();
  // The sound server is asked on a queue of its own: whether the virtual microphone is in use (the
  // session's feedback loop reads the last answer), and the default input's switches at admission and at
  // the session's end, in order, so that neither the feedback loop nor the main executor waits for it.
  auto soundServerQueue = std::make_shared<SerialExecutor>("tl.mic.consumed");
  auto inputGuard = std::shared_ptr<DefaultInputGuard>(
      new DefaultInputGuard(*audioDevices, SteadyClock::shared(),
                            [soundServerQueue](std::function<void()> job) { soundServerQueue->post(std::move(job)); }),
      [audioDevices, soundServerQueue](DefaultInputGuard* guard) {
        soundServerQueue->shutdown();
        delete guard;
      });
  RunningInstanceSteps steps;
  // A default input an earlier run left on the virtual microphone goes back to what it was.
  steps.repairDefaultInput = [inputGuard] { inputGuard->restoreIfStranded(); };
  seams.engageDefaultInput = [inputGuard] { inputGuard->engage(); };
  seams.restoreDefaultInput = [inputGuard] { inputGuard->restore(); };
  seams.isMicrophoneConsumed = [inputGuard] { return inputGuard->micRunningSomewhere(); };
  // The client's camera goes to the camera daemon's sink, which applications read as the virtual camera.
  std::shared_ptr<CamSinkFeeder> camera = CamSinkFeeder::create(std::make_unique<MailboxCameraSinks>(), scheduler);
  seams.pushCameraFrame = [camera](const vela::PixelBuffer& frame) { camera->push(frame); };
  seams.isCameraConsumed = [camera] { return camera->consumedCached(); };
  seams.startCameraWatching = [camera](LogSink log) {
    camera->setOnLog(std::move(log));
    camera->startConsumptionWatcher();
  };
  // The microphone ring the virtual microphone reads; without it the client's microphone is dropped.
  // Opening it writes its header, so it is opened only by the instance that runs the host.
  auto microphone = std::make_shared<std::shared_ptr<MicShmWriter>>();
  steps.openMicrophoneRing = [microphone] { *microphone = MicShmWriter::create(); };
  seams.writeMicrophone = [microphone](ByteView pcm) {
    if (*microphone) (*microphone)->write(pcm);
  };
  // The block is mapped on the user's router with NAT-PMP or UPnP when the reachability policy asks.
  seams.makePortMapper = makeRouterPortMapper;
  // A device's last link estimate seeds its next session's rate control within a minute.
  auto linkMemory = std::make_shared<LinkMemoryStore>(SteadyClock::shared());
  seams.recordLinkSnapshot = [linkMemory](const vela::LinkSnapshot& snapshot) { linkMemory->record(snapshot); };
  seams.linkSeed = [linkMemory](const std::string& deviceKey) { return linkMemory->seed(deviceKey); };
  seams.startProbeResponder = [](uint16_t port, const Uuid& hostID, HostControllerSeams::AllowPeer allowPeer,
                                 LogSink log) -> std::function<void()> {
    auto responder = std::make_shared<ProbeResponder>(hostID, std::move(allowPeer), std::move(log));
    responder->start(port);
    return [responder] { responder->stop(); };
  };
  seams.startBonjour = [](uint16_t port, const Uuid& hostID, const std::string& name,
                          LogSink log) -> std::function<void()> {
    auto advertiser = std::make_shared<BonjourAdvertiser>();
    advertiser->setOnLog(std::move(log));
    advertiser->start(port, hostID, name);
    return [advertiser] { advertiser->stop(); };
  };
  return steps;
}

}  // namespace tavlo
