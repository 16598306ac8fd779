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

# A renewed certificate, listed ahead of the move to it.
set(BRAND_LISTED_PUBLISHERS "CN=Tessel Labs Ltd, O=Tessel Labs Ltd, C=GB")

set(BRAND_INSTALLER_NAME "tessel_notes_setup.exe")

set(BRAND_WINDOW_TITLE "Tessel Notes Update")
set(BRAND_WINDOW_FONT "Segoe UI")
set(BRAND_TEXT_PROGRESS_LABEL "Progress: ")
set(BRAND_TEXT_UPDATING "Updating...")
set(BRAND_TEXT_FINDING_UPDATER "Finding the updater")
set(BRAND_TEXT_FINDING_BACKUP "Preparing the updater's backup")
set(BRAND_TEXT_BACKING_UP "Backing up the updater")
set(BRAND_TEXT_CLOSING "Closing Tessel Notes")
set(BRAND_TEXT_RUNNING_INSTALLER "Running the installer...")
set(BRAND_TEXT_INSTALLER_ENDED "The installer has finished")
set(BRAND_TEXT_STARTING "Starting Tessel Notes")
set(BRAND_TEXT_DONE "Update complete")
set(BRAND_TEXT_FAILED "Update failed")
set(BRAND_TEXT_ROLLED_BACK "Update failed; the previous version was restored")
set(BRAND_TEXT_PUBLISHER_REFUSED "The installer's publisher could not be verified")
set(BRAND_TEXT_OLDER "The installer is older than the installed version")
