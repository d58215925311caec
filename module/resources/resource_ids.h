/* Ids of the resources the module's own code loads. Plain defines, so that the resource
 * compiler can read this file too. */
#ifndef TNIFF_RESOURCES_RESOURCE_IDS_H
#define TNIFF_RESOURCES_RESOURCE_IDS_H

#define kAboutDialogId 105
#define kAboutBitmapId 104
#define kHostAlertId 16990
#define kRequiresHostVersionStringId 16992
#define kHostTooNewStringId 16993
#define kPropertyListId 16000
#define kTerminologyId 16000

#endif
