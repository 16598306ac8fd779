; Installer of the stand-in client application, one per version, for the end-to-end
; runs. Built by CMake (target corvane_installers):
;   makensis -DVERSION=2 -DAPP_NAME=CorvaneApp -DAPP_PROGRAM=CorvaneApp
;            -DAPP_EXE=<CorvaneApp.exe> -DPAYLOAD=<payload file>
;            -DOUTFILE=<CorvaneApp-v2-setup.exe> corvane_app.nsi
; APP_NAME is the application's uninstall registration and product name, APP_PROGRAM its
; program's name without ".exe": the brand's (below, the default brand's).
; Its version resource gives the product version <VERSION>.0.0.0, which the updater holds
; to the installed version; -DNO_VERSION_RESOURCE builds one without a version resource.
;
; Run it as the updater does:  CorvaneApp-v2-setup.exe /S /D=C:\some folder
; (/S silent; /D= the install folder, last on the line and unquoted, as NSIS wants it).
; It installs CorvaneApp.exe, the same program as CorvaneHelper.exe (a second program of
; the application, such as a helper or a tray icon), payload.bin (the bulk that makes a
; download take a while) and uninstall.exe into the folder, and registers "CorvaneApp" in
; the 32-bit view of the uninstall registrations, where the updater looks for
; InstallLocation:
;   HKLM\SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall\CorvaneApp
; Each successful run appends a block to CorvaneApp-setup.log in the folder:
;   version=<N> / parameters=<its parameters, /D= removed by NSIS> / instdir=<folder> /
;   client_window=<the window of a running CorvaneApp when it started; 0 for none> /
;   client_saved=<1 when CorvaneApp.saved was in the folder when it started, else 0>
;
; For the tests, two behaviours, each taken from a switch or, since the updater passes
; nothing but /S /D=, from the environment it hands down (a switch wins):
;   /PAUSE=<ms>  or CORVANE_SETUP_PAUSE_MS   sleeps that long before installing
;   /FAIL=<code> or CORVANE_SETUP_FAIL       exits with that code, folder and registry
;                                            untouched (after the pause)
;   /HALFWAY=<code> or CORVANE_SETUP_HALFWAY exits with that code after writing half of
;                                            its files (CorvaneApp.exe and payload.bin)
;   /REMOVEAPP=1 or CORVANE_SETUP_REMOVE_APP installs, then deletes CorvaneApp.exe and
;                                            exits with 0
;   /MIDPAUSE=<ms> or CORVANE_SETUP_MID_PAUSE_MS  after writing half of its files, leaves
;                                            install-in-progress.tmp in the folder, sleeps
;                                            that long, deletes it and goes on: ended by
;                                            force meanwhile, it leaves a half-done folder
; Exit codes: 0 installed; <code> for /FAIL (any but -1, which NSIS keeps for "none
; set" and turns into 2); 3 when a file in the folder could not be written, for example
; CorvaneApp.exe or CorvaneHelper.exe while it runs (nothing else in the folder or
; registry changed when it was CorvaneApp.exe; CorvaneApp.exe was replaced already when
; it was CorvaneHelper.exe); 2 aborted; 1 cancelled by the user.
;
; Uninstall silently in place: uninstall.exe /S _?=<folder> (removes the registration
; and the files it knows; the folder goes when it is empty, uninstall.exe stays).

!macro RequireDefine NAME
    !ifndef ${NAME}
        !error "define VERSION, APP_NAME, APP_PROGRAM, APP_EXE, PAYLOAD and OUTFILE (missing: ${NAME})"
    !endif
!macroend
!insertmacro RequireDefine VERSION
!insertmacro RequireDefine APP_NAME
!insertmacro RequireDefine APP_PROGRAM
!insertmacro RequireDefine APP_EXE
!insertmacro RequireDefine PAYLOAD
!insertmacro RequireDefine OUTFILE

Unicode true
Target amd64-unicode
; The payload is incompressible on purpose; storing it keeps the build quick.
SetCompress off
RequestExecutionLevel admin
ManifestSupportedOS all

!include FileFunc.nsh
!include LogicLib.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP_NAME}"

Name "${APP_NAME} ${VERSION}"
!ifndef NO_VERSION_RESOURCE
    VIProductVersion "${VERSION}.0.0.0"
    VIFileVersion "${VERSION}.0.0.0"
    VIAddVersionKey "ProductName" "${APP_NAME}"
    VIAddVersionKey "ProductVersion" "${VERSION}.0.0.0"
    VIAddVersionKey "FileVersion" "${VERSION}.0.0.0"
    VIAddVersionKey "FileDescription" "${APP_NAME} ${VERSION} Setup"
    VIAddVersionKey "LegalCopyright" "Corvane Test"
!endif
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APP_NAME}"
ShowInstDetails nevershow
ShowUninstDetails nevershow
; A file that cannot be written is skipped without a dialog, which no one would see in a
; silent run; the section then fails with exit code 3.
SetOverwrite try
AllowSkipFiles on

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; $0 = the parameters. Leaves the option's value, or the environment variable's, in $1;
; empty when neither is given.
!macro ReadTestOption OPTION VARIABLE
    ReadEnvStr $1 ${VARIABLE}
    ClearErrors
    ${GetOptions} $0 "${OPTION}" $2
    ${IfNot} ${Errors}
        StrCpy $1 $2
    ${EndIf}
!macroend

Section "${APP_NAME}"
    ; Before anything else: an updater must have closed the client application by now.
    FindWindow $5 "CorvaneAppStandIn"
    StrCpy $6 0
    ${If} ${FileExists} "$INSTDIR\${APP_PROGRAM}.saved"
        StrCpy $6 1
    ${EndIf}
    ${GetParameters} $0

    !insertmacro ReadTestOption "/PAUSE=" CORVANE_SETUP_PAUSE_MS
    ${If} $1 != ""
        Sleep $1
    ${EndIf}

    !insertmacro ReadTestOption "/FAIL=" CORVANE_SETUP_FAIL
    ${If} $1 != ""
        SetErrorLevel $1
        Quit
    ${EndIf}

    SetOutPath "$INSTDIR"
    ; A running ${APP_PROGRAM}.exe cannot be replaced: then nothing else is touched either.
    ClearErrors
    File "/oname=${APP_PROGRAM}.exe" "${APP_EXE}"
    ${If} ${Errors}
        SetErrorLevel 3
        Quit
    ${EndIf}
    File "/oname=CorvaneHelper.exe" "${APP_EXE}"
    ${If} ${Errors}
        SetErrorLevel 3
        Quit
    ${EndIf}
    File "/oname=payload.bin" "${PAYLOAD}"

    !insertmacro ReadTestOption "/MIDPAUSE=" CORVANE_SETUP_MID_PAUSE_MS
    ${If} $1 != ""
        FileOpen $3 "$INSTDIR\install-in-progress.tmp" w
        FileClose $3
        Sleep $1
        Delete "$INSTDIR\install-in-progress.tmp"
    ${EndIf}

    !insertmacro ReadTestOption "/HALFWAY=" CORVANE_SETUP_HALFWAY
    ${If} $1 != ""
        SetErrorLevel $1
        Quit
    ${EndIf}

    WriteUninstaller "$INSTDIR\uninstall.exe"
    ${If} ${Errors}
        SetErrorLevel 3
        Quit
    ${EndIf}

    SetRegView 32
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP_NAME}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}.0.0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

    FileOpen $3 "$INSTDIR\CorvaneApp-setup.log" a
    FileSeek $3 0 END
    FileWrite $3 "version=${VERSION}$\nparameters=$0$\ninstdir=$INSTDIR$\nclient_window=$5$\nclient_saved=$6$\n$\n"
    FileClose $3

    !insertmacro ReadTestOption "/REMOVEAPP=" CORVANE_SETUP_REMOVE_APP
    ${If} $1 != ""
        Delete "$INSTDIR\${APP_PROGRAM}.exe"
    ${EndIf}
SectionEnd

Section "Uninstall"
    SetRegView 32
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    Delete "$INSTDIR\${APP_PROGRAM}.exe"
    Delete "$INSTDIR\payload.bin"
    Delete "$INSTDIR\CorvaneHelper.exe"
    Delete "$INSTDIR\${APP_PROGRAM}.state"
    Delete "$INSTDIR\CorvaneHelper.state"
    Delete "$INSTDIR\${APP_PROGRAM}.saved"
    Delete "$INSTDIR\CorvaneHelper.saved"
    Delete "$INSTDIR\CorvaneApp-setup.log"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
SectionEnd
