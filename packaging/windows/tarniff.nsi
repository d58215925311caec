; The TarnIFF installer: one 32-bit program that installs on 32- and 64-bit Windows.
; scripts/package.sh builds it with Debian's makensis:
;   makensis -DVERSION=X.Y.Z -DSTAGE=DIR -DOUTFILE=FILE packaging/windows/tarniff.nsi
; DIR holds win32/ and win64/ (each TnIffFormat.8bi, TnIffCodec.dll, tniff.exe), LICENSE.txt and
; README.txt, with Windows line ends.
;
; What goes where (INSTDIR is Program Files\TarnIFF unless /D= says otherwise):
;   64-bit Windows  INSTDIR\        the 64-bit module, codec and tniff.exe, LICENSE.txt,
;                                   README.txt, Uninstall.exe
;                   INSTDIR\32-bit\ the 32-bit module, codec and tniff.exe
;   32-bit Windows  INSTDIR\        the 32-bit files, LICENSE.txt, README.txt, Uninstall.exe
; Each codec loads the module beside itself and writes its own registry entries (regsvr32); the
; 32-bit one is registered by SysWOW64's regsvr32, so that 32-bit programs find it too.
;
; Silent install (exit status 0 installed, 1 cancelled, 2 nothing installed: a switch is wrong,
; 3 installed, but a part failed: a codec not registered, a plug-in copy or PATH not made):
;   TarnIFF-X.Y.Z-setup.exe /S [/PLUGINDIR=DIR] [/PLUGINDIR2=DIR] [/PLUGINWIDTH=32|64] [/PATH]
;                              [/NOCODEC] [/NOTNIFF] [/D=INSTALLDIR]
; A DIR with spaces is quoted: /PLUGINDIR="C:\Program Files\Editor\Plug-ins". /D= comes last and
; is not quoted, as for every installer of this kind.
; Silent uninstall: "INSTDIR\Uninstall.exe" /S (it copies itself away and returns at once).

Unicode true
SetCompressor /SOLID lzma
; No file times in the installer: the same files give the same bytes on every build.
SetDateSave off
RequestExecutionLevel admin
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh
!include nsDialogs.nsh
!include WinMessages.nsh
!include Sections.nsh

!ifndef VERSION | STAGE | OUTFILE
  !error "makensis -DVERSION=X.Y.Z -DSTAGE=DIR -DOUTFILE=FILE tarniff.nsi"
!endif

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TarnIFF"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
; Copies into editor plug-in folders remembered in the uninstall key, across installs.
!define MAX_PLUGIN_COPIES 8
; The longest string NSIS holds: a PATH of this length may have been cut when it was read.
!define /math STRING_LIMIT ${NSIS_MAX_STRLEN} - 1

Name "TarnIFF ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\TarnIFF"
BrandingText "TarnIFF ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "TarnIFF"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "TarnIFF ${VERSION} setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) 2026 the TarnIFF authors, MIT licence"
VIAddVersionKey /LANG=1033 "CompanyName" "the TarnIFF authors"

Var PluginDir1
Var PluginDir2
Var PluginWidth
Var Failed
Var PageText1
Var PageText2
Var PageRadio64
Var PageRadio32

!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_SMALLDESC
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${STAGE}/LICENSE.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
Page custom PluginPageShow PluginPageLeave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; ---- Helpers shared by the installer and the uninstaller ---------------------------------------

; The machine PATH without our folder: $R8 the rest, exactly as it was otherwise (empty entries
; too), $R9 1 when our folder was in it, "" when the PATH cannot be changed safely (it is as long
; as NSIS's strings, so what was read may have been cut: writing it back would lose the rest).
!macro PATH_WITHOUT_US un
Function ${un}PathWithoutUs
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
  StrLen $1 $0
  ${If} $1 >= ${STRING_LIMIT}
    StrCpy $R8 $0
    StrCpy $R9 ""
  ${Else}
    StrCpy $R8 ""
    StrCpy $R9 0
    StrCpy $2 ""  ; the entry being read
    StrCpy $3 0   ; its position
    StrCpy $4 1   ; no entry kept yet
    ${Do}
      StrCpy $1 $0 1 $3
      ${If} $1 == ";"
      ${OrIf} $1 == ""
        ${If} $2 == $INSTDIR
        ${OrIf} $2 == "$INSTDIR\"
          StrCpy $R9 1
        ${ElseIf} $4 == 1
          StrCpy $R8 $2
          StrCpy $4 0
        ${Else}
          StrCpy $R8 "$R8;$2"
        ${EndIf}
        ${IfThen} $1 == "" ${|} ${ExitDo} ${|}
        StrCpy $2 ""
      ${Else}
        StrCpy $2 "$2$1"
      ${EndIf}
      IntOp $3 $3 + 1
    ${Loop}
  ${EndIf}
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro PATH_WITHOUT_US ""
!insertmacro PATH_WITHOUT_US "un."

!macro VIEW_OF_THIS_WINDOWS
  ; The uninstall key and the PATH are the 64-bit system's own, not its 32-bit copy.
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
!macroend

; ---- Switches and the plug-in folders ----------------------------------------------------------

; A folder as typed, without the trailing backslash (a drive's root keeps it): $R0 in and out.
Function TrimFolder
  ${Do}
    StrCpy $R1 $R0 1 -1
    StrLen $R2 $R0
    ${If} $R1 != "\"
    ${OrIf} $R2 <= 3
      ${ExitDo}
    ${EndIf}
    StrCpy $R0 $R0 -1
  ${Loop}
FunctionEnd

; Checks the plug-in folders and the width: $R9 the message when one is wrong, "" otherwise. The
; folders must exist: they are the editor's, and the uninstaller removes our copy, not a folder.
Function CheckPluginChoice
  StrCpy $R0 $PluginDir1
  Call TrimFolder
  StrCpy $PluginDir1 $R0
  StrCpy $R0 $PluginDir2
  Call TrimFolder
  StrCpy $PluginDir2 $R0
  StrCpy $R9 ""
  ${If} $PluginDir1 != ""
  ${AndIfNot} ${FileExists} "$PluginDir1\*.*"
    StrCpy $R9 "The plug-in folder $PluginDir1 does not exist."
  ${ElseIf} $PluginDir2 != ""
  ${AndIfNot} ${FileExists} "$PluginDir2\*.*"
    StrCpy $R9 "The plug-in folder $PluginDir2 does not exist."
  ${ElseIf} $PluginWidth != 32
  ${AndIf} $PluginWidth != 64
    StrCpy $R9 "The editor's width is 32 or 64, not $PluginWidth."
  ${ElseIf} $PluginWidth == 64
  ${AndIfNot} ${RunningX64}
    StrCpy $R9 "This Windows is 32-bit: its editors take the 32-bit plug-in."
  ${EndIf}
  ${If} $PluginDir2 == $PluginDir1
    StrCpy $PluginDir2 ""
  ${EndIf}
FunctionEnd

Function BrowsePluginDir1
  nsDialogs::SelectFolderDialog "The editor's plug-ins folder" $PluginDir1
  Pop $0
  ${If} $0 != error
    ${NSD_SetText} $PageText1 $0
  ${EndIf}
FunctionEnd

Function BrowsePluginDir2
  nsDialogs::SelectFolderDialog "The editor's additional plug-ins folder" $PluginDir2
  Pop $0
  ${If} $0 != error
    ${NSD_SetText} $PageText2 $0
  ${EndIf}
FunctionEnd

Function PluginPageShow
  !insertmacro MUI_HEADER_TEXT "Editor plug-in folders" \
    "Copy TnIffFormat.8bi where your image editor looks for plug-ins."
  nsDialogs::Create 1018
  Pop $0
  ${If} $0 == error
    Abort
  ${EndIf}
  ${NSD_CreateLabel} 0 0 100% 30u "With TnIffFormat.8bi, image editors that take file-format \
    plug-ins open and save .iff images. Pick the folders it is copied into, or leave them \
    empty. The uninstaller removes these copies again."
  Pop $0
  ${NSD_CreateLabel} 0 32u 100% 10u "The editor's plug-ins folder (for example \
    C:\Program Files\<editor>\Plug-ins\File Formats):"
  Pop $0
  ${NSD_CreateDirRequest} 0 44u 245u 12u $PluginDir1
  Pop $PageText1
  ${NSD_CreateBrowseButton} 250u 43u 50u 14u "Browse..."
  Pop $0
  ${NSD_OnClick} $0 BrowsePluginDir1
  ${NSD_CreateLabel} 0 62u 100% 10u "The additional plug-ins folder set in the editor's preferences:"
  Pop $0
  ${NSD_CreateDirRequest} 0 74u 245u 12u $PluginDir2
  Pop $PageText2
  ${NSD_CreateBrowseButton} 250u 73u 50u 14u "Browse..."
  Pop $0
  ${NSD_OnClick} $0 BrowsePluginDir2
  ${NSD_CreateLabel} 0 94u 100% 10u "The editor is (a plug-in of the other width is not loaded):"
  Pop $0
  ${NSD_CreateRadioButton} 10u 106u 120u 10u "64-bit"
  Pop $PageRadio64
  ${NSD_CreateRadioButton} 10u 118u 120u 10u "32-bit"
  Pop $PageRadio32
  ${If} $PluginWidth == 64
    ${NSD_Check} $PageRadio64
  ${Else}
    ${NSD_Check} $PageRadio32
  ${EndIf}
  ${IfNot} ${RunningX64}
    EnableWindow $PageRadio64 0
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function PluginPageLeave
  ${NSD_GetText} $PageText1 $PluginDir1
  ${NSD_GetText} $PageText2 $PluginDir2
  ${NSD_GetState} $PageRadio64 $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $PluginWidth 64
  ${Else}
    StrCpy $PluginWidth 32
  ${EndIf}
  Call CheckPluginChoice
  ${If} $R9 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION $R9
    Abort
  ${EndIf}
FunctionEnd

; A part that failed: said (in a silent install only by the exit status) and counted.
Function PartFailed  ; $R9 the message
  DetailPrint $R9
  MessageBox MB_OK|MB_ICONEXCLAMATION $R9 /SD IDOK
  StrCpy $Failed 1
FunctionEnd

; ---- Sections ----------------------------------------------------------------------------------

Section "-Files" SectionFiles
  SetOutPath $INSTDIR
  File "${STAGE}/LICENSE.txt"
  File "${STAGE}/README.txt"
  ${If} ${RunningX64}
    File "${STAGE}/win64/TnIffFormat.8bi"
    SetOutPath "$INSTDIR\32-bit"
    File "${STAGE}/win32/TnIffFormat.8bi"
  ${Else}
    File "${STAGE}/win32/TnIffFormat.8bi"
  ${EndIf}
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ; The entry of the system's list of programs. An earlier install's values stay: its plug-in
  ; copies are still ours to remove.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "TarnIFF ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "the TarnIFF authors"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" $INSTDIR
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Uninstall.exe"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Thumbnails and previews (imaging codec)" SectionCodec
  ${If} ${RunningX64}
    SetOutPath $INSTDIR
    File "${STAGE}/win64/TnIffCodec.dll"
    SetOutPath "$INSTDIR\32-bit"
    File "${STAGE}/win32/TnIffCodec.dll"
    ; The 32-bit installer sees SysWOW64 as System32: the 64-bit regsvr32 is behind it.
    ${DisableX64FSRedirection}
    ClearErrors
    ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\TnIffCodec.dll"' $0
    ${EnableX64FSRedirection}
    ${If} ${Errors}
    ${OrIf} $0 != 0
      StrCpy $R9 "The 64-bit codec could not be registered (regsvr32: $0)."
      Call PartFailed
    ${EndIf}
    ClearErrors
    ExecWait '"$WINDIR\SysWOW64\regsvr32.exe" /s "$INSTDIR\32-bit\TnIffCodec.dll"' $0
  ${Else}
    SetOutPath $INSTDIR
    File "${STAGE}/win32/TnIffCodec.dll"
    ClearErrors
    ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\TnIffCodec.dll"' $0
  ${EndIf}
  ${If} ${Errors}
  ${OrIf} $0 != 0
    StrCpy $R9 "The 32-bit codec could not be registered (regsvr32: $0)."
    Call PartFailed
  ${EndIf}
SectionEnd

Section "tniff.exe (command-line converter)" SectionTniff
  SetOutPath $INSTDIR
  ${If} ${RunningX64}
    File "${STAGE}/win64/tniff.exe"
    SetOutPath "$INSTDIR\32-bit"
    File "${STAGE}/win32/tniff.exe"
  ${Else}
    File "${STAGE}/win32/tniff.exe"
  ${EndIf}
SectionEnd

Section /o "Add tniff to PATH" SectionPath
  Call PathWithoutUs
  ${If} $R9 == ""
    StrCpy $R9 "PATH is too long to be changed safely; add $INSTDIR to it by hand."
    Call PartFailed
  ${ElseIf} $R9 == 0
    ${If} $R8 == ""
      StrCpy $R8 $INSTDIR
    ${Else}
      StrCpy $R8 "$R8;$INSTDIR"
    ${EndIf}
    StrLen $0 $R8
    ${If} $0 >= ${STRING_LIMIT}
      StrCpy $R9 "PATH is too long to be changed safely; add $INSTDIR to it by hand."
      Call PartFailed
    ${Else}
      WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" $R8
      SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
    ${EndIf}
  ${EndIf}
SectionEnd

; Records a plug-in copy ($R0 the file, $R1 its width) in the first free or its own slot.
Function RecordPluginCopy
  StrCpy $R2 1
  ${Do}
    ReadRegStr $R3 HKLM "${UNINSTALL_KEY}" "PluginFile$R2"
    ${If} $R3 == ""
    ${OrIf} $R3 == $R0
      WriteRegStr HKLM "${UNINSTALL_KEY}" "PluginFile$R2" $R0
      WriteRegStr HKLM "${UNINSTALL_KEY}" "PluginWidth$R2" $R1
      Return
    ${EndIf}
    IntOp $R2 $R2 + 1
  ${LoopUntil} $R2 > ${MAX_PLUGIN_COPIES}
  StrCpy $R9 "Too many plug-in copies to remember: $R0 is not removed by the uninstaller."
  Call PartFailed
FunctionEnd

; Writes the module of width $R1 as file $R0 and records it.
Function CopyPlugin
  ClearErrors
  ${If} $R1 == 64
    File "/oname=$R0" "${STAGE}/win64/TnIffFormat.8bi"
  ${Else}
    File "/oname=$R0" "${STAGE}/win32/TnIffFormat.8bi"
  ${EndIf}
  ${If} ${Errors}
  ${OrIfNot} ${FileExists} $R0
    StrCpy $R9 "TnIffFormat.8bi could not be copied to $R0."
    Call PartFailed
  ${Else}
    Call RecordPluginCopy
  ${EndIf}
FunctionEnd

Section "-Plug-in folders"
  ; An earlier install's copies that are still there get this version's module.
  StrCpy $R4 1
  ${Do}
    ReadRegStr $R0 HKLM "${UNINSTALL_KEY}" "PluginFile$R4"
    ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "PluginWidth$R4"
    ${If} $R0 != ""
    ${AndIf} ${FileExists} $R0
      Call CopyPlugin
    ${EndIf}
    IntOp $R4 $R4 + 1
  ${LoopUntil} $R4 > ${MAX_PLUGIN_COPIES}
  StrCpy $R1 $PluginWidth
  ${If} $PluginDir1 != ""
    StrCpy $R0 "$PluginDir1\TnIffFormat.8bi"
    Call CopyPlugin
  ${EndIf}
  ${If} $PluginDir2 != ""
    StrCpy $R0 "$PluginDir2\TnIffFormat.8bi"
    Call CopyPlugin
  ${EndIf}
SectionEnd

Section "-Size"
  ${GetSize} $INSTDIR "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  ${If} $Failed != 0
    SetErrorLevel 3
  ${EndIf}
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SectionCodec} \
    "Thumbnails and previews of .iff images in File Explorer, and .iff in programs that open \
    images through Windows's imaging component."
  !insertmacro MUI_DESCRIPTION_TEXT ${SectionTniff} \
    "tniff.exe: converts .iff images to PNG, TIFF and back, and shows what a file holds."
  !insertmacro MUI_DESCRIPTION_TEXT ${SectionPath} \
    "Adds the install folder to the system's PATH, so that tniff runs from any prompt."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; ---- Start: the switches (after the sections, which they select) ------------------------

; One switch, $2: its effect, or $R9 the message when it is not one of ours.
Function TakeSwitch
  StrCpy $6 $2 11
  StrCpy $7 $2 12
  StrCpy $8 $2 13
  ${If} $6 == "/PLUGINDIR="
    StrCpy $PluginDir1 $2 "" 11
  ${ElseIf} $7 == "/PLUGINDIR2="
    StrCpy $PluginDir2 $2 "" 12
  ${ElseIf} $8 == "/PLUGINWIDTH="
    StrCpy $PluginWidth $2 "" 13
  ${ElseIf} $2 == "/PATH"
    !insertmacro SelectSection ${SectionPath}
  ${ElseIf} $2 == "/NOCODEC"
    !insertmacro UnselectSection ${SectionCodec}
  ${ElseIf} $2 == "/NOTNIFF"
    !insertmacro UnselectSection ${SectionTniff}
    !insertmacro UnselectSection ${SectionPath}
  ${ElseIf} $2 != "/S"
  ${AndIf} $2 != "/NCRC"
    ; A mistyped switch would otherwise pass for an install that did what was asked.
    StrCpy $R9 "Unknown switch: $2"
  ${EndIf}
FunctionEnd

; The command line's switches, each one word with its quotes taken out wherever they are, so that
; "/PLUGINDIR=C:\A B" and /PLUGINDIR="C:\A B" both name C:\A B. /D= ends them: it is last, and
; its folder is not quoted.
Function ReadSwitches
  ${GetParameters} $0
  StrCpy $1 0   ; position
  StrCpy $2 ""  ; the word
  StrCpy $3 0   ; inside quotes
  StrCpy $5 0   ; a word is being read
  ${Do}
    StrCpy $4 $0 1 $1
    ${If} $4 == '"'
      IntOp $3 1 - $3
      StrCpy $5 1
    ${ElseIf} $4 == " "
    ${AndIf} $3 == 1
      StrCpy $2 "$2$4"
    ${ElseIf} $4 == " "
    ${OrIf} $4 == ""
      StrCpy $6 $2 3
      ${If} $6 == "/D="
        ${ExitDo}
      ${EndIf}
      ${If} $5 == 1
        Call TakeSwitch
      ${EndIf}
      ${IfThen} $4 == "" ${|} ${ExitDo} ${|}
      StrCpy $2 ""
      StrCpy $5 0
    ${Else}
      StrCpy $2 "$2$4"
      StrCpy $5 1
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
FunctionEnd

Function .onInit
  !insertmacro VIEW_OF_THIS_WINDOWS
  StrCpy $Failed 0
  ${If} ${RunningX64}
    StrCpy $PluginWidth 64
  ${Else}
    StrCpy $PluginWidth 32
  ${EndIf}
  ; Without /D=: where an earlier install is, else the Program Files of this Windows's width.
  ${If} $INSTDIR == "$PROGRAMFILES\TarnIFF"
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 != ""
      StrCpy $INSTDIR $0
    ${ElseIf} ${RunningX64}
      StrCpy $INSTDIR "$PROGRAMFILES64\TarnIFF"
    ${EndIf}
  ${EndIf}

  StrCpy $R9 ""
  Call ReadSwitches
  ${If} $R9 == ""
    Call CheckPluginChoice
  ${EndIf}
  ${If} $R9 != ""
    MessageBox MB_OK|MB_ICONSTOP "$R9$\r$\nNothing was installed." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
FunctionEnd

Function .onSelChange
  ; PATH leads to tniff.exe: without it there is nothing to add.
  ${IfNot} ${SectionIsSelected} ${SectionTniff}
    !insertmacro UnselectSection ${SectionPath}
  ${EndIf}
FunctionEnd

; ---- The uninstaller ---------------------------------------------------------------------------

Function un.onInit
  !insertmacro VIEW_OF_THIS_WINDOWS
FunctionEnd

Section "Uninstall"
  ; The codecs first: regsvr32 /u asks the DLL itself which entries are its own.
  ${If} ${RunningX64}
    ${If} ${FileExists} "$INSTDIR\TnIffCodec.dll"
      ${DisableX64FSRedirection}
      ExecWait '"$SYSDIR\regsvr32.exe" /u /s "$INSTDIR\TnIffCodec.dll"' $0
      ${EnableX64FSRedirection}
      DetailPrint "64-bit codec unregistered (regsvr32: $0)"
    ${EndIf}
    ${If} ${FileExists} "$INSTDIR\32-bit\TnIffCodec.dll"
      ExecWait '"$WINDIR\SysWOW64\regsvr32.exe" /u /s "$INSTDIR\32-bit\TnIffCodec.dll"' $0
      DetailPrint "32-bit codec unregistered (regsvr32: $0)"
    ${EndIf}
  ${ElseIf} ${FileExists} "$INSTDIR\TnIffCodec.dll"
    ExecWait '"$SYSDIR\regsvr32.exe" /u /s "$INSTDIR\TnIffCodec.dll"' $0
    DetailPrint "Codec unregistered (regsvr32: $0)"
  ${EndIf}

  ; Exactly the plug-in copies the installs made; the editors' folders stay.
  StrCpy $R4 1
  ${Do}
    ReadRegStr $R0 HKLM "${UNINSTALL_KEY}" "PluginFile$R4"
    ${If} $R0 != ""
      Delete /REBOOTOK $R0
    ${EndIf}
    IntOp $R4 $R4 + 1
  ${LoopUntil} $R4 > ${MAX_PLUGIN_COPIES}

  Call un.PathWithoutUs
  ${If} $R9 == 1
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" $R8
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}

  ; Our files by name, so that nothing else in the folder is lost.
  !macro REMOVE_WIDTH_FILES DIR
    Delete /REBOOTOK "${DIR}\TnIffCodec.dll"
    Delete /REBOOTOK "${DIR}\TnIffFormat.8bi"
    Delete /REBOOTOK "${DIR}\tniff.exe"
  !macroend
  !insertmacro REMOVE_WIDTH_FILES "$INSTDIR\32-bit"
  RMDir /REBOOTOK "$INSTDIR\32-bit"
  !insertmacro REMOVE_WIDTH_FILES "$INSTDIR"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir /REBOOTOK $INSTDIR
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
