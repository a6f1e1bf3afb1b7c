; The Windows installer of the LUMO service tool: the window (lumo-tool.exe,
; linked statically with Qt, so nothing else has to go beside it), lumoctl.exe
; when the build has it, the licence texts, a Start menu entry and an
; uninstaller that Windows lists under installed programs.
;
; Built by the "installer" target of the Windows build
; (cmake/WindowsInstaller.cmake), which stages the files and passes
;   VERSION  the project's version, as in CMakeLists.txt
;   STAGE    the staged files: the programs, LICENSE.txt (the licence
;            page: this program's licence, then Qt's notice) and licenses\
;   OUTFILE  the setup program to write
; Silent use: setup.exe /S [/D=<folder>], then uninstall.exe /S.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!include "MUI2.nsh"
!include "x64.nsh"
!include "FileFunc.nsh"

!define PRODUCT "Quorix LUMO PC tool"
!define FOLDER "LUMO Service Tool"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\lumo-service-tool"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${FOLDER}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
; For every user: Program Files, the common Start menu and HKLM.
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey "LegalCopyright" "MIT licence; Qt under the LGPL version 3"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_LICENSE "${STAGE}/LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\lumo-tool.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start ${PRODUCT}"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} needs 64-bit Windows."
    Abort
  ${EndIf}
  SetShellVarContext all
  SetRegView 64
FunctionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView 64
FunctionEnd

Section "${PRODUCT}"
  SetOutPath "$INSTDIR"
  File "${STAGE}/lumo-tool.exe"
!if /FileExists "${STAGE}/lumoctl.exe"
  File "${STAGE}/lumoctl.exe"
!endif
  File "${STAGE}/LICENSE.txt"
  SetOutPath "$INSTDIR\licenses"
  File /r "${STAGE}/licenses/*"
  SetOutPath "$INSTDIR"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\lumo-tool.exe" "" "$INSTDIR\lumo-tool.exe" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "LUMO service tool developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\lumo-tool.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$INSTDIR\lumo-tool.exe"
  Delete "$INSTDIR\lumoctl.exe"
  Delete "$INSTDIR\LICENSE.txt"
  RMDir /r "$INSTDIR\licenses"
  Delete "$INSTDIR\uninstall.exe"
  ; Only if empty: files the operator put there stay.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
