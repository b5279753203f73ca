; Setup program of the FTP Quorbit Notify Add-On: installs the module and its help page,
; registers the module as the message file of its event source, and asks the module to add
; itself to the host (QBAddOnInstall). The uninstaller asks the module to remove itself from
; the host (QBAddOnUninstall) and removes everything the setup added.
;
; Built by the CMake target "setup" (packaging/CMakeLists.txt):
;   makensis -DARCH=x64|x86 -DVERSION=1.2.3 -DVERSION4=1.2.3.0 -DMODULE=<dll> -DHELP=<htm>
;            -DICON=<ico> -DOUTFILE=<exe> QBNotifyAddOn.nsi
; The setup has the module's bitness and uses the registry view of that bitness, the one the
; module itself reads the host's uninstall entry from.

Unicode true
!if "${ARCH}" == "x64"
  Target amd64-unicode
  !define PROGRAM_FILES $PROGRAMFILES64
!else if "${ARCH}" == "x86"
  Target x86-unicode
  !define PROGRAM_FILES $PROGRAMFILES
!else
  !error "ARCH must be x64 or x86"
!endif

!include FileFunc.nsh
!include LogicLib.nsh
!include MUI2.nsh

!define PRODUCT "FTP Quorbit Notify Add-On"
!define PUBLISHER "Tarsk Software"
!define MODULE_FILE "QBNotifyAddOn.dll"
!define UNINSTALLER "Uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QBNotifyAddOn"
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\QBNotifyAddOn"
!define HOST_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\FTP Quorbit_is1"
!define HOST_ADDON_FOLDER "AddOns\QBNotifyAddOn"
; Value of the uninstall entry: the outermost folder that the setup created.
!define CREATED_FOLDER "QBNotifyAddOn: Created Folder"
!define LOAD_WITH_ALTERED_SEARCH_PATH 0x8
!define UOI_FLAGS 1
!define WSF_VISIBLE 1

Name "${PRODUCT}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show
; No InstallDir: .onInit chooses the folder unless /D= named one.

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "German"

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=${LANG_GERMAN} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_GERMAN} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_GERMAN} "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=${LANG_GERMAN} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_GERMAN} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_GERMAN} "LegalCopyright" "${PUBLISHER}"

; $0 = $0 without a trailing backslash ("C:\" becomes "C:").
!macro StripTrailingBackslash
  StrCpy $9 $0 1 -1
  ${If} $9 == "\"
    StrCpy $0 $0 -1
  ${EndIf}
!macroend

; $0 = 1 when a user can see this process's windows, 0 in a window station nobody sees (a
; service's, as under a deployment tool). 1 when it cannot be told.
Function IsDesktopVisible
  StrCpy $0 1
  System::Call "user32::GetProcessWindowStation() p .r1"
  System::Call "*(i 0, i 0, i 0) p .r2"
  System::Call "user32::GetUserObjectInformationW(p r1, i ${UOI_FLAGS}, p r2, i 12, *i .r3) i .r4"
  ${If} $4 <> 0
    System::Call "*$2(i, i, i .r5)"
    IntOp $0 $5 & ${WSF_VISIBLE}
  ${EndIf}
  System::Free $2
FunctionEnd

; Calls the export $1 of the installed module with $2 as its one ANSI string argument ("ex")
; or with two zero integers ("ii"); $0 = "" when the module ran it, else what went wrong.
; The system plug-in calls with __stdcall on x86, as the exports are declared.
!macro CallModule un
  Function ${un}CallModule
    StrCpy $0 ""
    StrCpy $7 "$INSTDIR\${MODULE_FILE}"
    System::Call "kernel32::LoadLibraryExW(w r7, p 0, i ${LOAD_WITH_ALTERED_SEARCH_PATH}) p .r4"
    ${If} $4 == 0
      StrCpy $0 "$7 kann nicht geladen werden."
      Return
    ${EndIf}
    System::Call "kernel32::GetProcAddress(p r4, m r1) p .r5"
    ${If} $5 == 0
      StrCpy $0 "$1 fehlt in $7."
    ${ElseIf} $3 == "ex"
      System::Call "::$5(m r2)"
    ${Else}
      System::Call "::$5(i 0, i 0) i .r6"
    ${EndIf}
    System::Call "kernel32::FreeLibrary(p r4)"
  FunctionEnd
!macroend
!insertmacro CallModule ""
!insertmacro CallModule "un."

Function .onInit
  ${If} $INSTDIR == ""
    ; A new version goes where the last one is; else into the host's add-on folder.
    ReadRegStr $INSTDIR HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${EndIf}
  ${If} $INSTDIR == ""
    ReadRegStr $0 HKLM "${HOST_KEY}" "Inno Setup: App Path"
    ${If} $0 != ""
      !insertmacro StripTrailingBackslash
      StrCpy $INSTDIR "$0\${HOST_ADDON_FOLDER}"
    ${Else}
      StrCpy $INSTDIR "${PROGRAM_FILES}\QBNotifyAddOn"
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "Install"
  ; The outermost folder of $INSTDIR that does not exist yet: the uninstaller removes the
  ; folders up to it again, when they are empty.
  StrCpy $R0 ""
  StrCpy $R1 $INSTDIR
  ${DoUntil} $R1 == ""
    ${IfThen} ${FileExists} "$R1\*.*" ${|} ${ExitDo} ${|}
    StrCpy $R0 $R1
    ${GetParent} $R1 $R1
  ${Loop}
  ReadRegStr $R2 HKLM "${UNINSTALL_KEY}" "InstallLocation"

  SetOutPath "$INSTDIR\Help"
  File "/oname=QBNotifyAddOn.htm" "${HELP}"
  SetOutPath "$INSTDIR"
  File "/oname=${MODULE_FILE}" "${MODULE}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${MODULE_FILE},0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${If} $R0 != ""
    WriteRegStr HKLM "${UNINSTALL_KEY}" "${CREATED_FOLDER}" $R0
  ${ElseIf} $R2 != $INSTDIR
    DeleteRegValue HKLM "${UNINSTALL_KEY}" "${CREATED_FOLDER}"
  ${EndIf}

  ; Failed deliveries are recorded in the Application log under this source; the module's
  ; message table shows their text.
  WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$INSTDIR\${MODULE_FILE}"
  WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" 7

  ; The module asks for the global settings in a dialog when they are incomplete, then starts
  ; the host to add it. Silent: nobody could answer that dialog where no user sees this
  ; process's windows, so the host is then left alone.
  ${If} ${Silent}
    Call IsDesktopVisible
    ${If} $0 == 0
      DetailPrint "Keine sichtbare Arbeitsfläche: das Add-On wird nicht in FTP Quorbit eingetragen."
      Return
    ${EndIf}
  ${EndIf}
  StrCpy $0 $INSTDIR
  !insertmacro StripTrailingBackslash
  StrCpy $1 "QBAddOnInstall"
  StrCpy $2 $0
  StrCpy $3 "ex"
  Call CallModule
  ${If} $0 != ""
    MessageBox MB_ICONEXCLAMATION|MB_OK "$0" /SD IDOK
  ${EndIf}
SectionEnd

Section "Uninstall"
  ; The module starts the host to remove it; its answer is always 0.
  StrCpy $1 "QBAddOnUninstall"
  StrCpy $3 "ii"
  Call un.CallModule
  ${If} $0 != ""
    DetailPrint "$0"
  ${EndIf}

  Delete /REBOOTOK "$INSTDIR\${MODULE_FILE}"
  Delete "$INSTDIR\Help\QBNotifyAddOn.htm"
  RMDir "$INSTDIR\Help"
  ; The module's journal folder, with what a session left behind.
  Delete "$INSTDIR\Data\Information_*.txt"
  Delete "$INSTDIR\Data\Log_*.txt"
  RMDir "$INSTDIR\Data"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir /REBOOTOK "$INSTDIR"
  ; The empty folders above it that the setup created.
  ReadRegStr $R0 HKLM "${UNINSTALL_KEY}" "${CREATED_FOLDER}"
  StrLen $R2 $R0
  StrCpy $R3 $INSTDIR $R2
  StrCpy $R4 $INSTDIR 1 $R2
  ${If} $R0 != ""
  ${AndIf} $R3 == $R0
    ${If} $R4 == ""
    ${OrIf} $R4 == "\"
      StrCpy $R1 $INSTDIR
      ${DoUntil} $R1 == $R0
        ${GetParent} $R1 $R1
        ${IfThen} $R1 == "" ${|} ${ExitDo} ${|}
        RMDir $R1
      ${Loop}
    ${EndIf}
  ${EndIf}

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"
  ${If} ${RebootFlag}
    MessageBox MB_ICONINFORMATION|MB_OK "Das Add-On ist noch geladen: $INSTDIR\${MODULE_FILE} wird beim nächsten Neustart entfernt." /SD IDOK
  ${EndIf}
SectionEnd
