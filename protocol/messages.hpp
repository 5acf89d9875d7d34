#pragma once
// Every message record of the protocol, by group.
#include "protocol/camera_mic_messages.hpp"
#include "protocol/clipboard_messages.hpp"
#include "protocol/display_messages.hpp"
#include "protocol/keyboard_messages.hpp"
#include "protocol/media_messages.hpp"
#include "protocol/path_messages.hpp"
#include "protocol/pointer_messages.hpp"
#include "protocol/session_messages.hpp"
#include "protocol/status_messages.hpp"
