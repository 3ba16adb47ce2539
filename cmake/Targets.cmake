# The libraries, one per concern, with their sources.

# The portable update logic: every algorithm of the program, no platform call.
add_library(updater_core STATIC
  app/clock.cpp
  app/memory_registry.cpp
  app/message_poster.cpp
  app/registry.cpp
  app/registry_check.cpp
  app/settings_store.cpp
  app/startup.cpp
  app/trace.cpp
  app/trace_file.cpp
  app/unit_text.cpp
  app/unit_lock_memory.cpp
  image/crc32.cpp
  image/crc32_clmul.cpp
  image/crc32_table.cpp
  image/firmware_image.cpp
  usb/block_protocol.cpp
  usb/device_info_query.cpp
  usb/flash_passes.cpp
  usb/fw_loader.cpp
  usb/pcapng_blocks.cpp
  usb/pcapng_reader.cpp
  usb/raw_data.cpp
  usb/seam_records.cpp
  usb/unit_list.cpp
  usb/usb_capture.cpp
  usb/capture_exchanges.cpp
  usb/capture_file.cpp
  usb/replay_usb.cpp
  usb/update_captures.cpp
  usb/usb_port.cpp
  ui/main_window.cpp
  ui/ui_language.cpp
  ui/update_controller.cpp
  ui/update_session.cpp)
target_include_directories(updater_core PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
target_link_libraries(updater_core PUBLIC Threads::Threads)
if(WIN32)
  target_compile_definitions(updater_core PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()

# The platform layer under the core: Win32, or the native stand-ins. `updater_platform` names whichever is built.
if(WIN32)
  add_library(updater_win32 STATIC
    platform/win32/capture_file_storage.cpp
    platform/win32/elevated_start.cpp
    platform/win32/main_window_dialog.cpp
    platform/win32/main_window_shell.cpp
    platform/win32/message_box.cpp
    platform/win32/program_context.cpp
    platform/win32/program_resources.cpp
    platform/win32/progress_window.cpp
    platform/win32/registry_check_platform.cpp
    platform/win32/resource_ui_strings.cpp
    platform/win32/safe_dll_search.cpp
    platform/win32/taskbar_progress.cpp
    platform/win32/trace_file_storage.cpp
    platform/win32/trace_folder_menu.cpp
    platform/win32/ui_dialog.cpp
    platform/win32/unit_lock.cpp
    platform/win32/updater_program.cpp
    platform/win32/win32_keep_awake.cpp
    platform/win32/win32_process_elevation.cpp
    platform/win32/win32_registry.cpp
    platform/win32/window_message_poster.cpp
    platform/win32/windows_numbers_check.cpp
    platform/win32/winusb_api.cpp
    platform/win32/winusb_platform.cpp)
  target_link_libraries(updater_win32 PUBLIC updater_core setupapi advapi32 user32 gdi32 comctl32 shell32 ole32)
  add_library(updater_platform ALIAS updater_win32)
else()
  add_library(updater_posix STATIC
    platform/posix/compiled_ui_strings.cpp
    platform/posix/private_file.cpp
    platform/posix/program_context.cpp
    platform/posix/program_resources.cpp
    platform/posix/queue_message_poster.cpp
    platform/posix/registry_check_platform.cpp
    platform/posix/registry_file.cpp
    platform/posix/unit_lock.cpp)
  target_link_libraries(updater_posix PUBLIC updater_core)
  add_library(updater_platform ALIAS updater_posix)
endif()

# The emulated unit: a model of the unit's side of the block exchange behind the USB seam.
add_library(updater_emu STATIC
  emu/block_crc.cpp
  emu/boot_stage.cpp
  emu/demo_unit_config.cpp
  emu/emulated_unit.cpp
  emu/emulated_usb.cpp
  emu/request_check.cpp
  emu/unit_fault.cpp
  emu/unit_flash.cpp
  emu/unit_slots.cpp)
target_link_libraries(updater_emu PUBLIC updater_core)
