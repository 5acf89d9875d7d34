#include "platform/input/hid_evdev_keys.hpp"

#include <algorithm>
#include <array>

namespace tavlo {
namespace {

// Sorted by usage. Evdev codes from linux/input-event-codes.h; names from XKB's keycodes files.
constexpr std::array<HidEvdevKey, 83> kKeys{{
    {0x04, 30, "AC01"},  {0x05, 48, "AB05"},  {0x06, 46, "AB03"},  {0x07, 32, "AC03"},  {0x08, 18, "AD03"},
    {0x09, 33, "AC04"},  {0x0A, 34, "AC05"},  {0x0B, 35, "AC06"},  {0x0C, 23, "AD08"},  {0x0D, 36, "AC07"},
    {0x0E, 37, "AC08"},  {0x0F, 38, "AC09"},  {0x10, 50, "AB07"},  {0x11, 49, "AB06"},  {0x12, 24, "AD09"},
    {0x13, 25, "AD10"},  {0x14, 16, "AD01"},  {0x15, 19, "AD04"},  {0x16, 31, "AC02"},  {0x17, 20, "AD05"},
    {0x18, 22, "AD07"},  {0x19, 47, "AB04"},  {0x1A, 17, "AD02"},  {0x1B, 45, "AB02"},  {0x1C, 21, "AD06"},
    {0x1D, 44, "AB01"},  {0x1E, 2, "AE01"},   {0x1F, 3, "AE02"},   {0x20, 4, "AE03"},   {0x21, 5, "AE04"},
    {0x22, 6, "AE05"},   {0x23, 7, "AE06"},   {0x24, 8, "AE07"},   {0x25, 9, "AE08"},   {0x26, 10, "AE09"},
    {0x27, 11, "AE10"},  {0x28, 28, "RTRN"},  {0x29, 1, "ESC"},    {0x2A, 14, "BKSP"},  {0x2B, 15, "TAB"},
    {0x2C, 57, "SPCE"},  {0x2D, 12, "AE11"},  {0x2E, 13, "AE12"},  {0x2F, 26, "AD11"},  {0x30, 27, "AD12"},
    {0x31, 43, "BKSL"},  {0x33, 39, "AC10"},  {0x34, 40, "AC11"},  {0x35, 41, "TLDE"},  {0x36, 51, "AB08"},
    {0x37, 52, "AB09"},  {0x38, 53, "AB10"},  {0x39, 58, "CAPS"},  {0x3A, 59, "FK01"},  {0x3B, 60, "FK02"},
    {0x3C, 61, "FK03"},  {0x3D, 62, "FK04"},  {0x3E, 63, "FK05"},  {0x3F, 64, "FK06"},  {0x40, 65, "FK07"},
    {0x41, 66, "FK08"},  {0x42, 67, "FK09"},  {0x43, 68, "FK10"},  {0x44, 87, "FK11"},  {0x45, 88, "FK12"},
    {0x49, 110, "INS"},  {0x4A, 102, "HOME"}, {0x4B, 104, "PGUP"}, {0x4C, 111, "DELE"}, {0x4D, 107, "END"},
    {0x4E, 109, "PGDN"}, {0x4F, 106, "RGHT"}, {0x50, 105, "LEFT"}, {0x51, 108, "DOWN"}, {0x52, 103, "UP"},
    {0xE0, 29, "LCTL"},  {0xE1, 42, "LFSH"},  {0xE2, 56, "LALT"},  {0xE3, 125, "LWIN"}, {0xE4, 97, "RCTL"},
    {0xE5, 54, "RTSH"},  {0xE6, 100, "RALT"}, {0xE7, 126, "RWIN"},
}};

static_assert(std::is_sorted(kKeys.begin(), kKeys.end(),
                             [](const HidEvdevKey& a, const HidEvdevKey& b) { return a.hidUsage < b.hidUsage; }));

}  // namespace

const HidEvdevKey* hidEvdevKey(uint16_t hidUsage) {
  auto it = std::lower_bound(kKeys.begin(), kKeys.end(), hidUsage,
                             [](const HidEvdevKey& key, uint16_t usage) { return key.hidUsage < usage; });
  return it != kKeys.end() && it->hidUsage == hidUsage ? &*it : nullptr;
}

}  // namespace tavlo
