#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include "platform/mdns/service_publisher.hpp"

namespace tavlo {
namespace {

// A DNS label holds at most 63 bytes; a longer instance name is refused by the daemon, so it is cut
// at a character boundary instead.
constexpr size_t maxInstanceNameBytes = 63;

std::string fitInstanceName(std::string name) {
  if (name.size() <= maxInstanceNameBytes) return name;
  size_t cut = maxInstanceNameBytes;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  name.resize(cut);
  return name;
}

std::string describeError(int code) {
  return "[\"AvahiError\": " + std::to_string(code) + "] " + avahi_strerror(code);
}

// One service, with its own event thread, client connection and entry group. Every callback runs on
// the event thread, except the first client report, which may come inside avahi_client_new before
// the thread starts. The client does not give up when the daemon is missing or goes away: it waits
// for it, and the service is added again once the daemon runs.
class AvahiPublication final : public ServicePublication {
 public:
  AvahiPublication(ServiceDescription service, ServicePublisher::OnPublished onPublished,
                   ServicePublisher::OnFailure onFailure, ServicePublisher::OnRenamed onRenamed)
      : service_(std::move(service)),
        onPublished_(std::move(onPublished)),
        onFailure_(std::move(onFailure)),
        onRenamed_(std::move(onRenamed)) {
    service_.name = fitInstanceName(service_.name);
  }

  ~AvahiPublication() override {
    if (poll_) avahi_threaded_poll_stop(poll_);
    if (client_) avahi_client_free(client_);  // frees the entry group too
    if (poll_) avahi_threaded_poll_free(poll_);
  }

  void begin() {
    poll_ = avahi_threaded_poll_new();
    if (!poll_) return fail(AVAHI_ERR_NO_MEMORY);
    int error = 0;
    AvahiClient* client = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL, &clientEvent, this, &error);
    if (!client) return fail(error);
    client_ = client;
    if (avahi_threaded_poll_start(poll_) < 0) fail(AVAHI_ERR_FAILURE);
  }

 private:
  static void clientEvent(AvahiClient* client, AvahiClientState state, void* user) {
    auto* self = static_cast<AvahiPublication*>(user);
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING: self->addService(client); break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The host name is being (re)registered: the service is added again once the client runs.
        if (self->group_) avahi_entry_group_reset(self->group_);
        break;
      case AVAHI_CLIENT_FAILURE: self->fail(avahi_client_errno(client)); break;
      case AVAHI_CLIENT_CONNECTING:
        // No daemon (yet, or any more): the old group died with the connection; a new one is made
        // when the client runs again.
        if (self->group_) {
          avahi_entry_group_free(self->group_);
          self->group_ = nullptr;
        }
        self->fail(AVAHI_ERR_NO_DAEMON);
        break;
    }
  }

  static void groupEvent(AvahiEntryGroup* group, AvahiEntryGroupState state, void* user) {
    auto* self = static_cast<AvahiPublication*>(user);
    switch (state) {
      case AVAHI_ENTRY_GROUP_COLLISION: self->rename(avahi_entry_group_get_client(group)); break;
      case AVAHI_ENTRY_GROUP_ESTABLISHED: self->established(); break;
      case AVAHI_ENTRY_GROUP_FAILURE: self->fail(avahi_client_errno(avahi_entry_group_get_client(group))); break;
      default: break;
    }
  }

  void rename(AvahiClient* client) {
    char* alternative = avahi_alternative_service_name(service_.name.c_str());
    if (!alternative) return fail(AVAHI_ERR_NO_MEMORY);
    service_.name = alternative;
    avahi_free(alternative);
    if (onRenamed_) onRenamed_(service_.name);
    if (group_) avahi_entry_group_reset(group_);
    addService(client);
  }

  void addService(AvahiClient* client) {
    if (!group_) {
      group_ = avahi_entry_group_new(client, &groupEvent, this);
      if (!group_) return fail(avahi_client_errno(client));
    }
    if (!avahi_entry_group_is_empty(group_)) return;
    AvahiStringList* txt = nullptr;
    for (auto it = service_.txt.rbegin(); it != service_.txt.rend(); ++it)  // the list grows at its head
      txt = avahi_string_list_add_pair_arbitrary(txt, it->first.c_str(), it->second.data(), it->second.size());
    int result = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                      service_.name.c_str(), service_.type.c_str(), nullptr, nullptr,
                                                      service_.port, txt);
    avahi_string_list_free(txt);
    if (result == AVAHI_ERR_COLLISION) return rename(client);
    if (result < 0) return fail(result);
    result = avahi_entry_group_commit(group_);
    if (result < 0) fail(result);
  }

  // Reported once per loss: a failure after the service was up is reported again.
  void fail(int code) {
    if (failed_) return;
    failed_ = true;
    if (onFailure_) onFailure_(describeError(code));
  }

  void established() {
    failed_ = false;
    if (onPublished_) onPublished_();
  }

  ServiceDescription service_;
  ServicePublisher::OnPublished onPublished_;
  ServicePublisher::OnFailure onFailure_;
  ServicePublisher::OnRenamed onRenamed_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;  // event thread
  bool failed_ = false;               // event thread
};

class AvahiServicePublisher final : public ServicePublisher {
 public:
  std::unique_ptr<ServicePublication> publish(const ServiceDescription& service, OnPublished onPublished,
                                              OnFailure onFailure, OnRenamed onRenamed) override {
    auto publication =
        std::make_unique<AvahiPublication>(service, std::move(onPublished), std::move(onFailure), std::move(onRenamed));
    publication->begin();
    return publication;
  }
};

}  // namespace

std::shared_ptr<ServicePublisher> makeAvahiServicePublisher() { return std::make_shared<AvahiServicePublisher>(); }

}  // namespace tavlo
