# The default brand: the updater of CorvaneApp, by Corvane. Read when the build is
# configured (cmake/branding.cmake); -DUPDATER_BRANDING=<file> picks another file of the
# same variables. Every name and text the program shows or that other programs meet is
# here; the code reads them from the header generated from this file.

# The updater's own names: its version resource, its manifest and the release's README.
set(BRAND_COMPANY "Corvane")
set(BRAND_PRODUCT "Corvane updater")
set(BRAND_MANIFEST_NAME "Corvane.Updater")

# The client application: the name of its uninstall registration (HKLM, under
# ...\CurrentVersion\Uninstall), its program in the install folder, and the short name
# the log lines give it.
set(BRAND_APPLICATION "CorvaneApp")
set(BRAND_APPLICATION_EXE "CorvaneApp.exe")
set(BRAND_APPLICATION_LOG_NAME "hubra")

# The update folder, %APPDATA%\<vendor>\<product>: the downloads, the record of the last
# update and the feed's memory.
set(BRAND_UPDATE_FOLDER_VENDOR "CorvaneApp")
set(BRAND_UPDATE_FOLDER_PRODUCT "update")

# What the two runs and the front ends meet by: the single-instance lock (a mutex in the
# Global namespace), the upgrade pipe (\\.\pipe\<name>) and the first argument that marks
# the elevated run.
set(BRAND_LOCK_NAME "CorvaneHUBRAUpgradeSingleton")
set(BRAND_PIPE_NAME "CorvaneHUBRAUpgradePipe")
set(BRAND_PHASE_MARKER "5D3A81E4-7B2C-4F19-A6D0-93E47C1B2F58")

# The machine policy's key under HKLM, and the administrators' folder under the machine's
# program-data folder (<vendor>\<product>) with the prefix of its protected folders.
set(BRAND_POLICY_KEY "SOFTWARE\\Policies\\Corvane\\Updater")
set(BRAND_DATA_FOLDER_VENDOR "Corvane")
set(BRAND_DATA_FOLDER_PRODUCT "Updater")
set(BRAND_PROTECTED_FOLDER_PREFIX "CorvaneUpdate-")

# The update service that installs the publisher's updates without asking for consent
# (updater.exe --register-service): its name with the service control manager, the name
# and description the Services console shows, and its folder, %ProgramFiles%\<data folder
# vendor>\<this>, which holds its image, its log and the status of its requests.
set(BRAND_SERVICE_NAME "CorvaneUpdateService")
set(BRAND_SERVICE_DISPLAY_NAME "Corvane Update Service")
set(BRAND_SERVICE_DESCRIPTION "Installs the updates of CorvaneApp that Corvane signed, for users who cannot allow changes to the computer.")
set(BRAND_SERVICE_FOLDER "UpdateService")

# Installers and release feeds must be signed by the updater's own signer, or by one of
# these subjects (a CMake list, each written as the log's "Publisher:" line writes a
# subject: "CN=..., O=..."): a vendor who renews its certificate under a new name or CA
# lists the new subject here, ships that updater signed with the old certificate, and
# signs later installers with the new one. None by default.
set(BRAND_LISTED_PUBLISHERS "")

# The installer's file name when the address names none.
set(BRAND_INSTALLER_NAME "corvane_auto_installer.exe")

# The progress window: its title, its font and the texts of its steps, one set per
# language of BRAND_LANGUAGES (locale names), each value named after its language. The
# window shows the set of the user's UI language, of another variety of it (zh-TW finds
# zh-CN), or else the first, the brand's own. This brand shows its texts to every user:
# it has them in one language.
set(BRAND_LANGUAGES "zh-CN")
set(BRAND_WINDOW_TITLE_zh-CN "Hubra电脑版升级助手-更新进度")
set(BRAND_WINDOW_FONT_zh-CN "微软雅黑")
set(BRAND_TEXT_PROGRESS_LABEL_zh-CN "进度: ")
set(BRAND_TEXT_UPDATING_zh-CN "更新中...")
set(BRAND_TEXT_FINDING_UPDATER_zh-CN "获取当前程序的路径")
set(BRAND_TEXT_FINDING_BACKUP_zh-CN "获取当前程序的备份路径")
set(BRAND_TEXT_BACKING_UP_zh-CN "备份程序")
set(BRAND_TEXT_CLOSING_zh-CN "关闭主程序")
set(BRAND_TEXT_RUNNING_INSTALLER_zh-CN "运行安装程序...")
set(BRAND_TEXT_INSTALLER_ENDED_zh-CN "安装程序已经运行结束")
set(BRAND_TEXT_STARTING_zh-CN "启动主程序")
set(BRAND_TEXT_DONE_zh-CN "更新已完成")
set(BRAND_TEXT_FAILED_zh-CN "更新失败")
set(BRAND_TEXT_ROLLED_BACK_zh-CN "更新失败，已恢复原来的版本")
set(BRAND_TEXT_PUBLISHER_REFUSED_zh-CN "安装程序的发布者验证失败")
set(BRAND_TEXT_OLDER_zh-CN "安装程序的版本比已安装的旧")
