#include "platform/input/x_keycodes.hpp"

#include <cstring>
#include <string_view>

// xcb's XKB header names a struct member after a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include "platform/input/hid_evdev_keys.hpp"

namespace tavlo {
namespace {

std::string_view keyName(const char (&name)[4]) { return {name, strnlen(name, 4)}; }

}  // namespace

XKeycodes XKeycodes::resolve(const std::string& display) {
  XKeycodes keys;
  auto connection = XcbConnection::open(display);
  if (!connection) {
    for (uint16_t usage = 0; usage < keys.byUsage_.size(); ++usage) {
      if (const HidEvdevKey* key = hidEvdevKey(usage)) keys.byUsage_[usage] = uint8_t(key->evdevCode + kEvdevKeycodeOffset);
    }
    return keys;
  }
  xcb_connection_t* c = connection->get();
  const xcb_setup_t* setup = xcb_get_setup(c);
  std::array<std::string_view, 256> names{};  // by keycode
  std::vector<std::pair<std::string_view, std::string_view>> aliases;  // alias → real

  const xcb_query_extension_reply_t* xkb = xcb_get_extension_data(c, &xcb_xkb_id);
  auto use = xkb && xkb->present ? xcbOwn(xcb_xkb_use_extension_reply(
                                       c, xcb_xkb_use_extension(c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION),
                                       nullptr))
                                 : xcbOwn<xcb_xkb_use_extension_reply_t>(nullptr);
  auto reply = use && use->supported
                   ? xcbOwn(xcb_xkb_get_names_reply(
                         c,
                         xcb_xkb_get_names(c, XCB_XKB_ID_USE_CORE_KBD,
                                           XCB_XKB_NAME_DETAIL_KEY_NAMES | XCB_XKB_NAME_DETAIL_KEY_ALIASES),
                         nullptr))
                   : xcbOwn<xcb_xkb_get_names_reply_t>(nullptr);
  if (reply) {
    xcb_xkb_get_names_value_list_t list{};
    xcb_xkb_get_names_value_list_unpack(xcb_xkb_get_names_value_list(reply.get()), reply->nTypes, reply->indicators,
                                        reply->virtualMods, reply->groupNames, reply->nKeys, reply->nKeyAliases,
                                        reply->nRadioGroups, reply->which, &list);
    for (int i = 0; list.keyNames && i < reply->nKeys; ++i) {
      names[(reply->firstKey + i) & 0xFF] = keyName(list.keyNames[i].name);
    }
    for (int i = 0; list.keyAliases && i < reply->nKeyAliases; ++i) {
      aliases.emplace_back(keyName(list.keyAliases[i].alias), keyName(list.keyAliases[i].real));
    }
    keys.fromXkb_ = true;
  }

  for (uint16_t usage = 0; usage < keys.byUsage_.size(); ++usage) {
    const HidEvdevKey* key = hidEvdevKey(usage);
    if (!key) continue;
    if (!keys.fromXkb_) {
      const unsigned keycode = key->evdevCode + kEvdevKeycodeOffset;
      if (keycode >= setup->min_keycode && keycode <= setup->max_keycode) keys.byUsage_[usage] = uint8_t(keycode);
      continue;
    }
    std::string_view wanted = key->xkbName;
    for (const auto& [alias, real] : aliases) {
      if (alias == wanted) wanted = real;
    }
    for (unsigned keycode = setup->min_keycode; keycode <= setup->max_keycode; ++keycode) {
      if (names[keycode] == wanted) {
        keys.byUsage_[usage] = uint8_t(keycode);
        break;
      }
    }
  }
  return keys;
}

std::vector<uint8_t> unusedKeycodes(const XcbConnection& connection) {
  xcb_connection_t* c = connection.get();
  const xcb_setup_t* setup = xcb_get_setup(c);
  std::vector<uint8_t> unused;
  const uint8_t count = uint8_t(setup->max_keycode - setup->min_keycode + 1);
  auto reply = xcbReplyBy<xcb_get_keyboard_mapping_reply_t>(c, xcb_get_keyboard_mapping(c, setup->min_keycode, count).sequence);
  if (!reply || reply->keysyms_per_keycode == 0) return unused;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
  const int total = xcb_get_keyboard_mapping_keysyms_length(reply.get());
  const int per = reply->keysyms_per_keycode;
  for (int k = 0; (k + 1) * per <= total; ++k) {
    bool none = true;
    for (int j = 0; j < per; ++j) none = none && syms[k * per + j] == XCB_NO_SYMBOL;
    if (none) unused.insert(unused.begin(), uint8_t(setup->min_keycode + k));
  }
  return unused;
}

}  // namespace tavlo
