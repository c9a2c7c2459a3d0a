// Identifiers of the program's resources: the menu and its commands, the
// icons, the dialogs and the strings.
#pragma once

#include <cstdint>

namespace quellvox {

// Menu 128 (also the notification-area icon's menu), the program icon and
// the main frame's title string share the frame's resource id.
inline constexpr uint32_t IDR_MAINFRAME = 128;

// Commands of the "&File" popup.
inline constexpr uint32_t ID_FILE_SETTINGS = 32771;
inline constexpr uint32_t ID_FILE_START = 32772;
inline constexpr uint32_t ID_FILE_STOP = 32773;
inline constexpr uint32_t ID_FILE_LOG = 32774;
inline constexpr uint32_t ID_FILE_RESTART = 32775;
inline constexpr uint32_t ID_APP_ABOUT = 57664;
inline constexpr uint32_t ID_APP_EXIT = 57665;

// Dialog templates.
inline constexpr uint32_t IDD_ABOUTBOX = 100;
inline constexpr uint32_t IDD_SETTINGS = 321;
inline constexpr uint32_t IDD_STATISTICS = 322;

// State icons, one per PipelineState value 0..5 in that order.
inline constexpr uint32_t IDI_NOT_INITIALIZED = 310;
inline constexpr uint32_t IDI_START_RECORDING = 311;
inline constexpr uint32_t IDI_RUNNING = 312;
inline constexpr uint32_t IDI_STOP_RECORDING = 313;
inline constexpr uint32_t IDI_STOPPED = 314;
inline constexpr uint32_t IDI_ERROR_STATE = 315;

// Strings.
inline constexpr uint32_t IDP_OLE_INIT_FAILED = 100;
inline constexpr uint32_t IDS_STATE_NOT_INITIALIZED = 501;
inline constexpr uint32_t IDS_STATE_UNKNOWN = 502;
inline constexpr uint32_t IDS_STATE_START_RECORDING = 503;
inline constexpr uint32_t IDS_STATE_RUNNING = 504;
inline constexpr uint32_t IDS_STATE_STOP_RECORDING = 505;
inline constexpr uint32_t IDS_STATE_STOPPED = 506;
inline constexpr uint32_t IDS_STATE_ERROR = 507;
inline constexpr uint32_t IDS_NO_TITLE_ENGINE = 509;
inline constexpr uint32_t IDS_NO_CAPTURE_SOURCE = 510;
inline constexpr uint32_t IDS_WRONG_CONFIGURATION = 511;
inline constexpr uint32_t IDS_CLOSE_CONFIGURATION = 512;
inline constexpr uint32_t AFX_IDS_APP_TITLE = 57344;

}  // namespace quellvox
