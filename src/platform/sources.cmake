# The platform layer's sources, by library and by system (naming: README.md beside this file).
# Each system lists its own files here; nothing is picked by a pattern on names, so a file for
# one system is never built on the other by accident.

set(PLATFORM_CORE_SOURCES
    platform/dir_search_common.cpp
    platform/file_io_common.cpp
    platform/file_lock_common.cpp
    platform/file_read_common.cpp
    platform/local_time_common.cpp
    platform/sha256_common.cpp
    platform/socket_calls_common.cpp
    platform/user_folders_common.cpp)
set(PLATFORM_QT_SOURCES
    platform/async_socket_qt.cpp
    platform/async_socket_qt.h
    platform/interrupt_signals_qt.h
    platform/log_listener_qt.h
    platform/log_listener_qt_common.cpp
    platform/message_window_qt.cpp
    platform/message_window_qt.h
    platform/tcp_client_qt.cpp
    platform/tcp_client_qt.h)

if(WIN32)
  list(APPEND PLATFORM_CORE_SOURCES
       platform/dir_search_win.cpp
       platform/exe_path_win.cpp
       platform/file_io_win.cpp
       platform/file_lock_win.cpp
       platform/file_read_win.cpp
       platform/file_replace_win.cpp
       platform/folder_watch_win.cpp
       platform/handle_win.cpp
       platform/local_time_win.cpp
       platform/open_file_limit_win.cpp
       platform/pipe_client_win.cpp
       platform/sha256_win.cpp
       platform/socket_calls_win.cpp
       platform/system_text_win.cpp
       platform/system_ui_win.cpp
       platform/terminal_win.cpp
       platform/tree_writer_win.cpp
       platform/user_folders_win.cpp)
  list(APPEND PLATFORM_QT_SOURCES
       platform/interrupt_signals_qt_win.cpp
       platform/log_listener_qt_win.cpp)
else()
  list(APPEND PLATFORM_CORE_SOURCES
       platform/descriptor_posix.cpp
       platform/dir_search_posix.cpp
       platform/exe_path_posix.cpp
       platform/file_io_posix.cpp
       platform/file_lock_posix.cpp
       platform/file_read_posix.cpp
       platform/file_replace_posix.cpp
       platform/folder_watch_posix.cpp
       platform/local_time_posix.cpp
       platform/open_file_limit_posix.cpp
       platform/pipe_client_posix.cpp
       platform/sha256_posix.cpp
       platform/socket_calls_posix.cpp
       platform/system_text_posix.cpp
       platform/system_ui_posix.cpp
       platform/terminal_posix.cpp
       platform/tree_writer_posix.cpp
       platform/user_folders_posix.cpp)
  list(APPEND PLATFORM_QT_SOURCES
       platform/interrupt_signals_qt_posix.cpp
       platform/log_listener_qt_posix.cpp)
endif()
