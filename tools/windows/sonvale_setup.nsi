; The Windows setup program: installs Sonvale for the whole machine into
; Program Files, registers the 64-bit Sonvale.dll in the 64-bit registry view
; and, when the build has it, the 32-bit one in the 32-bit view, each with the
; voice token that names the one copy of the voice; adds an Add/Remove
; Programs entry and an uninstaller that takes all of it away again.
;
;   makensis -DVERSION=0.1.0 -DOUT_DIR=<folder of the built files> \
;            -DSETUP=<the setup program to write> [-DWITH_X86] sonvale_setup.nsi
;
; OUT_DIR holds Sonvale.dll, sonvale-install.exe, voice\ and, with WITH_X86,
; x86\Sonvale.dll and x86\sonvale-install.exe. The registration itself is
; sonvale-install.exe's: run as a 64-bit process it writes the 64-bit view,
; as a 32-bit one the 32-bit view, which is where each speech system looks.
; It updates an existing voice token in place, so a setup run over an
; installed copy keeps the settings stored below the token.
;
; /S installs (or uninstalls) silently. The texts are English or Chinese
; (simplified or traditional), after the system's language.

; A 64-bit program: it runs where the 64-bit DLL can, and writes the 64-bit
; registry view as it is (no redirection).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "x64.nsh"

!define PRODUCT "Sonvale"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Sonvale"

Name "${PRODUCT} ${VERSION}"
OutFile "${SETUP}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=0 "LegalCopyright" "${PRODUCT}"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The first is the fallback for any other system language.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "TradChinese"

LangString Needs64Bit ${LANG_ENGLISH} "${PRODUCT} needs a 64-bit Windows."
LangString Needs64Bit ${LANG_SIMPCHINESE} "${PRODUCT} 需要 64 位的 Windows。"
LangString Needs64Bit ${LANG_TRADCHINESE} "${PRODUCT} 需要 64 位元的 Windows。"
LangString RegisterFailed ${LANG_ENGLISH} "Registering the voice failed (exit status $0). Run the setup again as an administrator."
LangString RegisterFailed ${LANG_SIMPCHINESE} "注册语音失败（退出码 $0）。请以管理员身份再次运行安装程序。"
LangString RegisterFailed ${LANG_TRADCHINESE} "註冊語音失敗（結束代碼 $0）。請以系統管理員身分再次執行安裝程式。"
LangString No32Bit ${LANG_ENGLISH} "The voice is not offered to 32-bit programs: this Windows cannot run them (exit status $0)."
LangString No32Bit ${LANG_SIMPCHINESE} "此 Windows 无法运行 32 位程序，32 位程序中没有此语音（退出码 $0）。"
LangString No32Bit ${LANG_TRADCHINESE} "此 Windows 無法執行 32 位元程式，32 位元程式中沒有此語音（結束代碼 $0）。"
LangString DisplayName ${LANG_ENGLISH} "${PRODUCT} Cantonese voice"
LangString DisplayName ${LANG_SIMPCHINESE} "${PRODUCT} 粤语语音"
LangString DisplayName ${LANG_TRADCHINESE} "${PRODUCT} 粵語語音"

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP|MB_OK "$(Needs64Bit)" /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
  ; An installed copy is upgraded where it is.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
    StrCpy $INSTDIR $0
  ${EndIf}
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

; Runs sonvale-install.exe in $1 with the arguments $2; $0 is its exit status.
!macro RunInstaller un
Function ${un}runInstaller
  nsExec::ExecToLog '"$1" $2'
  Pop $0
FunctionEnd
!macroend
!insertmacro RunInstaller ""
!insertmacro RunInstaller "un."

Section "Install"
  SetOutPath "$INSTDIR"
  File "${OUT_DIR}\Sonvale.dll"
  File "${OUT_DIR}\sonvale-install.exe"
  SetOutPath "$INSTDIR\voice"
  File "${OUT_DIR}\voice\voice.def"
  File "${OUT_DIR}\voice\voice.dat"
  File "${OUT_DIR}\voice\voice.wrd"
  File /nonfatal "${OUT_DIR}\voice\ATTRIBUTION.txt"
!ifdef WITH_X86
  SetOutPath "$INSTDIR\x86"
  File "${OUT_DIR}\x86\Sonvale.dll"
  File "${OUT_DIR}\x86\sonvale-install.exe"
!endif
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  StrCpy $1 "$INSTDIR\sonvale-install.exe"
  StrCpy $2 '/voice "$INSTDIR\voice"'
  Call runInstaller
  ${If} $0 != 0
    MessageBox MB_ICONSTOP|MB_OK "$(RegisterFailed)" /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
!ifdef WITH_X86
  ; A Windows that cannot run 32-bit programs has none to offer the voice to:
  ; the 64-bit voice is then all there is, and the setup goes on.
  StrCpy $1 "$INSTDIR\x86\sonvale-install.exe"
  Call runInstaller
  ${If} $0 != 0
    DetailPrint "$(No32Bit)"
  ${EndIf}
!endif

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "$(DisplayName)"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  ; The voice token (with the settings below it) and the registration go
  ; first, while the programs that remove them are still there.
!ifdef WITH_X86
  StrCpy $1 "$INSTDIR\x86\sonvale-install.exe"
  StrCpy $2 "/u"
  Call un.runInstaller
!endif
  StrCpy $1 "$INSTDIR\sonvale-install.exe"
  StrCpy $2 "/u"
  Call un.runInstaller

  ; A module still loaded by a running program goes at the next restart.
  Delete /REBOOTOK "$INSTDIR\Sonvale.dll"
  Delete "$INSTDIR\sonvale-install.exe"
  Delete "$INSTDIR\voice\voice.def"
  Delete "$INSTDIR\voice\voice.dat"
  Delete "$INSTDIR\voice\voice.wrd"
  Delete "$INSTDIR\voice\ATTRIBUTION.txt"
  RMDir "$INSTDIR\voice"
!ifdef WITH_X86
  Delete /REBOOTOK "$INSTDIR\x86\Sonvale.dll"
  Delete "$INSTDIR\x86\sonvale-install.exe"
  RMDir /REBOOTOK "$INSTDIR\x86"
!endif
  Delete "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
