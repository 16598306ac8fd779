# An example brand: the updater of Tessel Notes, by Tessel Labs, in English. Build with
#   cmake --preset windows -DUPDATER_BRANDING=branding/example.cmake
# Every variable of branding/default.cmake must be set; see there what each one names.

set(BRAND_COMPANY "Tessel Labs")
set(BRAND_PRODUCT "Tessel updater")
set(BRAND_MANIFEST_NAME "TesselLabs.Updater")

set(BRAND_APPLICATION "TesselNotes")
set(BRAND_APPLICATION_EXE "TesselNotes.exe")
set(BRAND_APPLICATION_LOG_NAME "Tessel Notes")

set(BRAND_UPDATE_FOLDER_VENDOR "TesselLabs")
set(BRAND_UPDATE_FOLDER_PRODUCT "Notes Updates")

set(BRAND_LOCK_NAME "TesselNotesUpdateLock")
set(BRAND_PIPE_NAME "TesselNotesUpdateProgress")
# A GUID of the vendor's own.
set(BRAND_PHASE_MARKER "0F6C2E1A-93B4-4D7E-8A25-61C0B9F4D3E7")

set(BRAND_POLICY_KEY "SOFTWARE\\Policies\\Tessel Labs\\Notes Updater")
set(BRAND_DATA_FOLDER_VENDOR "Tessel Labs")
set(BRAND_DATA_FOLDER_PRODUCT "Notes Updater")
set(BRAND_PROTECTED_FOLDER_PREFIX "TesselUpdate-")
set(BRAND_SERVICE_NAME "TesselNotesAgent")
set(BRAND_SERVICE_DISPLAY_NAME "Tessel Notes Agent")
set(BRAND_SERVICE_DESCRIPTION "Keeps Tessel Notes up to date with the releases Tessel Labs signed.")
set(BRAND_SERVICE_FOLDER "Notes Agent")

# A renewed certificate, listed ahead of the move to it.
set(BRAND_LISTED_PUBLISHERS "CN=Tessel Labs Ltd, O=Tessel Labs Ltd, C=GB")

set(BRAND_INSTALLER_NAME "tessel_notes_setup.exe")

# English first, shown to every user whose UI language has no set here; Chinese to users
# of a Chinese UI language.
set(BRAND_LANGUAGES "en-US;zh-CN")
set(BRAND_WINDOW_TITLE_en-US "Tessel Notes Update")
set(BRAND_WINDOW_FONT_en-US "Segoe UI")
set(BRAND_TEXT_PROGRESS_LABEL_en-US "Progress: ")
set(BRAND_TEXT_UPDATING_en-US "Updating...")
set(BRAND_TEXT_FINDING_UPDATER_en-US "Finding the updater")
set(BRAND_TEXT_FINDING_BACKUP_en-US "Preparing the updater's backup")
set(BRAND_TEXT_BACKING_UP_en-US "Backing up the updater")
set(BRAND_TEXT_CLOSING_en-US "Closing Tessel Notes")
set(BRAND_TEXT_RUNNING_INSTALLER_en-US "Running the installer...")
set(BRAND_TEXT_INSTALLER_ENDED_en-US "The installer has finished")
set(BRAND_TEXT_STARTING_en-US "Starting Tessel Notes")
set(BRAND_TEXT_DONE_en-US "Update complete")
set(BRAND_TEXT_FAILED_en-US "Update failed")
set(BRAND_TEXT_ROLLED_BACK_en-US "Update failed; the previous version was restored")
set(BRAND_TEXT_PUBLISHER_REFUSED_en-US "The installer's publisher could not be verified")
set(BRAND_TEXT_OLDER_en-US "The installer is older than the installed version")

set(BRAND_WINDOW_TITLE_zh-CN "Tessel Notes 升级助手")
set(BRAND_WINDOW_FONT_zh-CN "微软雅黑")
set(BRAND_TEXT_PROGRESS_LABEL_zh-CN "进度: ")
set(BRAND_TEXT_UPDATING_zh-CN "正在更新...")
set(BRAND_TEXT_FINDING_UPDATER_zh-CN "正在查找更新程序")
set(BRAND_TEXT_FINDING_BACKUP_zh-CN "正在准备更新程序的备份")
set(BRAND_TEXT_BACKING_UP_zh-CN "正在备份更新程序")
set(BRAND_TEXT_CLOSING_zh-CN "正在关闭 Tessel Notes")
set(BRAND_TEXT_RUNNING_INSTALLER_zh-CN "安装程序正在运行...")
set(BRAND_TEXT_INSTALLER_ENDED_zh-CN "安装程序已结束")
set(BRAND_TEXT_STARTING_zh-CN "正在启动 Tessel Notes")
set(BRAND_TEXT_DONE_zh-CN "更新完成")
set(BRAND_TEXT_FAILED_zh-CN "更新失败")
set(BRAND_TEXT_ROLLED_BACK_zh-CN "更新失败，已恢复之前的版本")
set(BRAND_TEXT_PUBLISHER_REFUSED_zh-CN "无法验证安装程序的发布者")
set(BRAND_TEXT_OLDER_zh-CN "安装程序的版本比已安装的版本旧")
