; The certificator's installer: qorcert.exe, qortool.exe and the launcher
; that Explorer's "Check QOR release" runs, for the current user, without
; administrator rights. makensis gets VERSION, PUBLISHER, the three programs
; (QORCERT, QORTOOL, HERE), README, LICENSE and OUTFILE with -D.
Unicode true
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma
; No time of any build in the installer: files get the time they are
; installed at, so that two builds give the same bytes.
SetDateSave off
CRCCheck on
XPStyle on

!define KEY_UNINSTALL "Software\Microsoft\Windows\CurrentVersion\Uninstall\QORCertificator"
!define VERB "QORCertificator.Check"
!define CLASSES "Software\Classes"

Name "QOR Release Authentication Certificator ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\QOR Certificator"
InstallDirRegKey HKCU "${KEY_UNINSTALL}" "InstallLocation"
ShowInstDetails nevershow
ShowUninstDetails nevershow

Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles
LicenseData "${LICENSE}"

; One verb: its text, its icon and its command, with ARG for the path.
!macro WRITE_VERB PARENT ARG
  WriteRegStr HKCU "${CLASSES}\${PARENT}\shell\${VERB}" "" "Check QOR release"
  WriteRegStr HKCU "${CLASSES}\${PARENT}\shell\${VERB}" "Icon" '"$INSTDIR\qorcert.exe",0'
  WriteRegStr HKCU "${CLASSES}\${PARENT}\shell\${VERB}\command" "" '"$INSTDIR\qorcert-here.exe" "${ARG}"'
!macroend

Section "Install"
  SetOutPath "$INSTDIR"
  SetOverwrite on
  File "/oname=qorcert.exe" "${QORCERT}"
  File "/oname=qortool.exe" "${QORTOOL}"
  File "/oname=qorcert-here.exe" "${HERE}"
  File "/oname=README.md" "${README}"
  File "/oname=LICENSE.txt" "${LICENSE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; A folder, the background of an open folder, and a qor.nfo (only that
  ; name: AppliesTo, which Explorer evaluates, keeps the verb off other
  ; .nfo files).
  !insertmacro WRITE_VERB "Directory" "%1"
  !insertmacro WRITE_VERB "Directory\Background" "%V"
  !insertmacro WRITE_VERB "SystemFileAssociations\.nfo" "%1"
  WriteRegStr HKCU "${CLASSES}\SystemFileAssociations\.nfo\shell\${VERB}" "AppliesTo" 'System.FileName:="qor.nfo"'

  WriteRegStr HKCU "${KEY_UNINSTALL}" "DisplayName" "QOR Release Authentication Certificator"
  WriteRegStr HKCU "${KEY_UNINSTALL}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${KEY_UNINSTALL}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${KEY_UNINSTALL}" "DisplayIcon" '"$INSTDIR\qorcert.exe",0'
  WriteRegStr HKCU "${KEY_UNINSTALL}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${KEY_UNINSTALL}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${KEY_UNINSTALL}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${KEY_UNINSTALL}" "NoModify" 1
  WriteRegDWORD HKCU "${KEY_UNINSTALL}" "NoRepair" 1
  SectionGetSize 0 $0
  WriteRegDWORD HKCU "${KEY_UNINSTALL}" "EstimatedSize" $0
SectionEnd

; Exactly what the install wrote: its files, its verbs' own keys and its
; entry; never a parent key, which holds other programs' verbs, and never
; a file it did not write (the folder goes only if nothing else is in it).
Section "Uninstall"
  Delete "$INSTDIR\qorcert.exe"
  Delete "$INSTDIR\qortool.exe"
  Delete "$INSTDIR\qorcert-here.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${CLASSES}\Directory\shell\${VERB}"
  DeleteRegKey HKCU "${CLASSES}\Directory\Background\shell\${VERB}"
  DeleteRegKey HKCU "${CLASSES}\SystemFileAssociations\.nfo\shell\${VERB}"
  DeleteRegKey HKCU "${KEY_UNINSTALL}"
SectionEnd
