// Publishing the copy of the client library zormsg calls, for the modules that share its types.
#pragma once

// zormsg, once imported: records the copy it calls where the other modules
// sharing its types look (see requireSameClientLibrary in pyzormsg.h).
void publishClientLibrary();
