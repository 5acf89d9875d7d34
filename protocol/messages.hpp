#pragma once
// Every message record of the protocol, by group.
#include "protocol/clipboard_messages.hpp"
#include "protocol/media_messages.hpp"
