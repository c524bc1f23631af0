; The Windows installer of the agent, for one user and without administrator rights: the agent
; and its launcher in %LOCALAPPDATA%\Programs\Tolvane Agent, the launcher started at login from
; the user's Run key, an uninstaller (also listed under the user's installed programs).
; Built by tools/build-installer.sh, which defines AGENT (the agent with its origin stamped in),
; LAUNCHER and OUTFILE.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include "LogicLib.nsh"

!define NAME "Tolvane Agent"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TolvaneAgent"
; Set by the installer and uninstaller to stop every launcher of the session (and its agent)
; before the files are replaced or removed: src/platform/launcher_windows.cpp.
!define STOP_EVENT "Local\TolvaneAgentLauncher.Stop"
!define LOG_FOLDER "$LOCALAPPDATA\${NAME}"

Name "${NAME}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${NAME}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Sets the stop event when any launcher runs, then waits (up to 10 seconds) until the last of
; them has stopped its agent and gone, with which the event goes too.
!macro STOP_RUNNING_AGENT
  System::Call 'kernel32::OpenEventW(i 0x00100002, i 0, w "${STOP_EVENT}") p .r0'
  ${If} $0 P<> 0
    DetailPrint "Stopping the running ${NAME}"
    System::Call 'kernel32::SetEvent(p r0)'
    System::Call 'kernel32::CloseHandle(p r0)'
    StrCpy $1 0
    ${Do}
      Sleep 100
      IntOp $1 $1 + 1
      System::Call 'kernel32::OpenEventW(i 0x00100000, i 0, w "${STOP_EVENT}") p .r0'
      ${If} $0 P= 0
        ${Break}
      ${EndIf}
      System::Call 'kernel32::CloseHandle(p r0)'
    ${LoopUntil} $1 >= 100
  ${EndIf}
!macroend

Section "${NAME}"
  SetShellVarContext current
  !insertmacro STOP_RUNNING_AGENT
  SetOutPath "$INSTDIR"
  File "/oname=tolvane-agent.exe" "${AGENT}"
  File "/oname=tolvane-agent-launcher.exe" "${LAUNCHER}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  WriteRegStr HKCU "${RUN_KEY}" "${NAME}" '"$INSTDIR\tolvane-agent-launcher.exe"'

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1

  ; Started now as the Run entry starts it at the next login.
  ReadRegStr $0 HKCU "${RUN_KEY}" "${NAME}"
  Exec $0
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  !insertmacro STOP_RUNNING_AGENT
  DeleteRegValue HKCU "${RUN_KEY}" "${NAME}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"

  ClearErrors
  Delete "$INSTDIR\tolvane-agent.exe"
  Delete "$INSTDIR\tolvane-agent-launcher.exe"
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONEXCLAMATION "tolvane-agent.exe is still running from $INSTDIR and \
      could not be removed: end it (Task Manager) and delete the folder." /SD IDOK
  ${EndIf}
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ; Only when empty: other programs of this user may live there as well.
  RMDir "$LOCALAPPDATA\Programs"

  ; The log goes with the program: what it says is of use only while the agent is installed.
  Delete "${LOG_FOLDER}\agent.log"
  Delete "${LOG_FOLDER}\agent.old.log"
  RMDir "${LOG_FOLDER}"
SectionEnd
