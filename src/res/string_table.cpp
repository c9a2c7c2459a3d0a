#include "res/string_table.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "res/resource_ids.h"

namespace quellvox {

namespace {

struct StringResource {
  uint32_t Id;
  const char* Text;
};

// The texts are the system's own, typos included.
constexpr StringResource kStrings[] = {
    {IDP_OLE_INIT_FAILED, "OLE initialization failed.  Make sure that the OLE libraries are the correct version."},
    {IDR_MAINFRAME, "Quellvox"},
    {IDS_STATE_NOT_INITIALIZED, "Not initialized"},
    {IDS_STATE_UNKNOWN, "Unknown state"},
    {IDS_STATE_START_RECORDING, "Start recording"},
    {IDS_STATE_RUNNING, "Running"},
    {IDS_STATE_STOP_RECORDING, "Stop recording"},
    {IDS_STATE_STOPPED, "Stopped"},
    {IDS_STATE_ERROR, "ERROR state"},
    {IDS_NO_TITLE_ENGINE, "There is no one title engine!"},
    {IDS_NO_CAPTURE_SOURCE, "There is no one capture source!"},
    {IDS_WRONG_CONFIGURATION, "Wrang configuration.\r\n\r\nStart configuration dialog now?"},
    {IDS_CLOSE_CONFIGURATION, "Close configuration before start."},
    {AFX_IDS_APP_TITLE, "Quellvox"},
};

std::vector<uint32_t>& Hidden() {
  static std::vector<uint32_t> hidden;
  return hidden;
}

}  // namespace

const char* FindResString(uint32_t id) {
  const auto& hidden = Hidden();
  if (std::find(hidden.begin(), hidden.end(), id) != hidden.end()) return nullptr;
  const auto it = std::find_if(std::begin(kStrings), std::end(kStrings), [id](const auto& s) { return s.Id == id; });
  return it == std::end(kStrings) ? nullptr : it->Text;
}

void TEST_HideResString(uint32_t id, bool hidden) {
  auto& list = Hidden();
  list.erase(std::remove(list.begin(), list.end(), id), list.end());
  if (hidden) list.push_back(id);
}

}  // namespace quellvox
