# The packages a user downloads: webmon-VERSION-win32.zip and webmon-VERSION-linux-x86_64.tar.gz,
# each a folder with the executable, an example web.txt and a short README.txt (GBK with CR LF
# line ends for Windows, UTF-8 for Linux). Made by `cpack` in a build folder (scripts/package.sh).
install(TARGETS webmon RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/monitor/web.txt.example DESTINATION . RENAME web.txt)

if(WIN32)
  set(EXE "webmon.exe")
  set(START "double-click it, or type webmon in a command prompt opened in this folder")
  set(STOP "press Ctrl-Z then Enter, press Ctrl+C, or close the window")
  set(REQUIRES "It needs Windows Vista or later; https needs Windows 7 with its updates
  (TLS 1.2), or later. While it runs, a click in its window never stops it (QuickEdit is off
  until it ends, a crash included; only a forced kill, taskkill /F, leaves it off in that
  console): to copy text, right-click the title bar and choose Edit > Mark. It uses the
  system's proxy (Internet Options); under wine it goes direct whatever the proxy settings,
  since wine does not implement the proxy option (INTERNET_OPTION_PROXY) that it sets.")
  set(START_ZH "双击运行，或在本文件夹中打开命令提示符后输入 webmon")
  set(STOP_ZH "按 Ctrl-Z 后回车，按 Ctrl+C，或关闭窗口")
  set(REQUIRES_ZH "需要 Windows Vista 或更新版本；https 需要已更新的 Windows 7(TLS 1.2)或更新版本。
  运行期间在窗口中单击不会使监控停止(程序运行时关闭快速编辑模式，结束时恢复，崩溃时也恢复；
  只有强制结束(taskkill /F)会使该控制台保持关闭)：复制文字请右键单击标题栏，选择 编辑 > 标记。
  程序使用系统代理(Internet 选项)；在 wine 下运行时不使用代理设置(wine 未实现程序设置的
  代理选项 INTERNET_OPTION_PROXY)。")
  set(UNATTENDED_ZH "  用户登录时自动启动(任务计划程序)：以管理员身份打开命令提示符，运行(C:\\webmon 为本文件夹)
    schtasks /Create /TN webmon /SC ONLOGON /IT /TR \"C:\\webmon\\webmon.exe\"
  或把 webmon.exe 的快捷方式放入启动文件夹(shell:startup)。控制台窗口保持打开并显示结果。
  不要作为 Windows 服务运行：webmon 是控制台程序，WinINet 使用当前用户的 Internet 选项
  (代理和安全设置)，服务没有这些设置。")
  set(UNATTENDED "  To start it at logon in your session (Task Scheduler), in a command prompt run as
  administrator (C:\\webmon being this folder):
    schtasks /Create /TN webmon /SC ONLOGON /IT /TR \"C:\\webmon\\webmon.exe\"
  or put a shortcut to webmon.exe in the Startup folder (shell:startup). Its console window stays
  open with the results. Not as a Windows service: webmon is a console program, and WinINet
  reads the proxy and security settings from the user's Internet Options, which a service lacks.")
  # The style converts the template's line ends, not those inside a value.
  string(REPLACE "\n" "\r\n" UNATTENDED "${UNATTENDED}")
  string(REPLACE "\n" "\r\n" REQUIRES "${REQUIRES}")
  string(REPLACE "\n" "\r\n" REQUIRES_ZH "${REQUIRES_ZH}")
  string(REPLACE "\n" "\r\n" UNATTENDED_ZH "${UNATTENDED_ZH}")
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
  set(UNATTENDED_ZH "  webmon 在输入结束时退出，因此无人值守运行时须保持其输入打开。
  systemd 服务：把本文件夹放到 /opt/webmon(或修改 webmon.service 中唯一的 WEBMON_DIR)，
  然后以 root 在本文件夹中运行
    cp webmon.service /etc/systemd/system/
    systemctl daemon-reload && systemctl enable --now webmon
  查看输出：journalctl -u webmon -f；修改 web.txt 后：systemctl restart webmon。
  服务以无特权的专用用户运行；webmon 意外退出时 10 秒后自动重启。Debian 上也可安装
  webmon_${WEBMON_DEBIAN_VERSION}_amd64.deb：列表为 /etc/webmon/web.txt，保存后自动生效。
  不用 systemd：在本文件夹中运行
    nohup setsid sh -c 'echo $$ > webmon.pid; sleep infinity | LC_ALL=C.UTF-8 ./webmon' >> webmon.log 2>&1 &
  输出追加到 webmon.log；停止：kill -- -$(cat webmon.pid)")
  set(UNATTENDED "  webmon ends at the end of its input, so left running it needs an input held open.
  As a systemd service: put this folder at /opt/webmon (or change WEBMON_DIR, named once in
  webmon.service), then, as root, from this folder:
    cp webmon.service /etc/systemd/system/
    systemctl daemon-reload && systemctl enable --now webmon
  Its lines: journalctl -u webmon -f; after editing web.txt: systemctl restart webmon.
  It runs as an unprivileged user of its own and is started again 10 s after any end but a
  stop. On Debian, webmon_${WEBMON_DEBIAN_VERSION}_amd64.deb installs it as a service whose list,
  /etc/webmon/web.txt, is in force as soon as it is saved.
  Without systemd, from this folder:
    nohup setsid sh -c 'echo $$ > webmon.pid; sleep infinity | LC_ALL=C.UTF-8 ./webmon' >> webmon.log 2>&1 &
  Its lines are appended to webmon.log; to stop it: kill -- -$(cat webmon.pid)")
  configure_file(${CMAKE_SOURCE_DIR}/package/README.txt.in ${CMAKE_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE LF)
  install(FILES ${CMAKE_SOURCE_DIR}/package/webmon.service DESTINATION .)
  install(TARGETS webmon-check-list RUNTIME DESTINATION .)
  set(CPACK_GENERATOR TGZ)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" WEBMON_PACKAGE_SYSTEM)
endif()
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_PACKAGE_NAME webmon)
set(CPACK_PACKAGE_VERSION ${WEBMON_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_FILE_NAME "webmon-${WEBMON_VERSION}-${WEBMON_PACKAGE_SYSTEM}")
set(CPACK_STRIP_FILES ON)
include(CPack)
