// An encrypted session over the relay path: the host identity registers the link, the host controller's
// way of taking a relayed transport (wrapping it with the host side of the encrypting transport) meets
// a client that dials through the service and wraps its side.
#include <gtest/gtest.h>

#include "e2e/encrypted_transport.hpp"
#include "platform/runtime/secret_store.hpp"
#include "tests/transport/relay/relay_test_kit.hpp"

namespace vela {
namespace {

using namespace relaytest;

TEST(RelayEncryptedSession, CompletesItsHandshakeAndSealsEveryChannel) {
  tavlo::MemorySecretStore secrets;
  tavlo::Settings settings;
  auto identity = E2EIdentity::load({secrets, settings, std::nullopt, [] { return std::optional<std::string>("relay-host"); }});
  const std::string hostID = identity->hostID().uuidString();
  const Bytes sigPub(identity->signingPublicKey().begin(), identity->signingPublicKey().end());

  RelayWorld world;
  RelayHostLink::Params params = world.linkParams();
  params.hostID = hostID;
  params.sigPub = sigPub;
  params.sign = [identity](ByteView challenge) -> std::optional<Bytes> {
    auto signature = identity->sign(challenge);
    if (!signature) return std::nullopt;
    return Bytes(signature->begin(), signature->end());
  };
  // The controller's accept path: a relayed description, wrapped with the host side.
  LogRecorder hostE2ELog;
  auto hostSessions = std::make_shared<tavlo::Channel<std::shared_ptr<EncryptedTransport>>>();
  params.emit = [identity, hostSessions, sink = hostE2ELog.sink()](std::shared_ptr<SessionTransport> transport) {
    if (!isRelayedDescription(transport->remoteDescription())) return transport->close();
    hostSessions->send(EncryptedTransport::host(std::move(transport), identity, true, sink));
  };
  world.link = RelayHostLink::create(params);
  ASSERT_TRUE(world.startHost());

  auto inner = world.dialer.connect(hostID, sigPub);
  ASSERT_TRUE(inner);
  LogRecorder clientLog;
  auto verify = [&](const tavlo::Uuid& id, ByteView key, const tavlo::LogSink&) {
    return id == identity->hostID() && std::equal(key.begin(), key.end(), sigPub.begin(), sigPub.end());
  };
  auto client = EncryptedTransport::client(inner, sigPub, verify, clientLog.sink());
  auto host = receiveWithin(*hostSessions);
  ASSERT_TRUE(host);
  ASSERT_TRUE(client->isEncrypted());
  ASSERT_TRUE(hostE2ELog.waitFor("🔐 E2E aktywne"));
  EXPECT_EQ((*host)->remoteDescription(), "relay/klient/127.0.0.1") << "the client as the service named it";
  EXPECT_EQ(client->remoteDescription(), "relay/" + hostID.substr(0, 8));

  client->control().send(packet(0, "client hello", 0x01));
  client->inputReliable().send(packet(3, "key down", 0x31));
  EXPECT_EQ(receiveWithin((*host)->control().incoming()), packet(0, "client hello", 0x01));
  EXPECT_EQ(receiveWithin((*host)->inputReliable().incoming()), packet(3, "key down", 0x31));
  (*host)->control().send(packet(0, "host hello", 0x02));
  EXPECT_EQ(receiveWithin(client->control().incoming()), packet(0, "host hello", 0x02));

  ASSERT_TRUE(world.flowsBound());
  (*host)->video().send(packet(1, "sealed chunk", 0x10));
  client->audio().send(packet(2, "sealed microphone", 0x21));
  EXPECT_EQ(receiveWithin(client->video().incoming()), packet(1, "sealed chunk", 0x10));
  EXPECT_EQ(receiveWithin((*host)->audio().incoming()), packet(2, "sealed microphone", 0x21));
  // The encrypting wrapper leaves room for its envelope inside the relayed datagram.
  EXPECT_EQ((*host)->video().maxDatagramSize(), 1328 - 32);

  client->close();
  (*host)->close();
}

}  // namespace
}  // namespace vela
