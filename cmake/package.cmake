# The packages a user downloads: webmon-VERSION-win32.zip and webmon-VERSION-linux-x86_64.tar.gz,
# each a folder with the executable, an example web.txt and a short README.txt (GBK with CR LF
# line ends for Windows, UTF-8 for Linux). Made by `cpack` in a build folder (scripts/package.sh).
install(TARGETS webmon RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/monitor/web.txt.example DESTINATION . RENAME web.txt)

if(WIN32)
  set(EXE "webmon.exe")
  set(START "double-click it, or type webmon in a command prompt opened in this folder")
  set(STOP "press Ctrl-Z then Enter, or close the window")
  set(REQUIRES "It needs Windows Vista or later.")
  set(START_ZH "双击运行，或在本文件夹中打开命令提示符后输入 webmon")
  set(STOP_ZH "按 Ctrl-Z 后回车，或关闭窗口")
  set(REQUIRES_ZH "需要 Windows Vista 或更新版本。")
  configure_file(${CMAKE_SOURCE_DIR}/package/README.txt.in ${CMAKE_BINARY_DIR}/README-utf8.txt
                 @ONLY NEWLINE_STYLE CRLF)
  execute_process(COMMAND iconv -f UTF-8 -t GBK ${CMAKE_BINARY_DIR}/README-utf8.txt
                  OUTPUT_FILE ${CMAKE_BINARY_DIR}/README.txt RESULT_VARIABLE converted)
  if(NOT converted EQUAL 0)
    message(FATAL_ERROR "README.txt could not be converted to GBK")
  endif()
  set(CPACK_GENERATOR ZIP)
  set(WEBMON_PACKAGE_SYSTEM win32)
else()
  set(EXE "webmon")
  set(START "./webmon")
  set(STOP "press Ctrl-D at the start of a line")
  set(REQUIRES "It needs libcurl (Debian: libcurl4).")
  set(START_ZH "./webmon")
  set(STOP_ZH "在行首按 Ctrl-D")
  set(REQUIRES_ZH "需要 libcurl(Debian：libcurl4)。")
  configure_file(${CMAKE_SOURCE_DIR}/package/README.txt.in ${CMAKE_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE LF)
  set(CPACK_GENERATOR TGZ)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" WEBMON_PACKAGE_SYSTEM)
endif()
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_PACKAGE_NAME webmon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_FILE_NAME "webmon-${PROJECT_VERSION}-${WEBMON_PACKAGE_SYSTEM}")
set(CPACK_STRIP_FILES ON)
include(CPack)
