// The language server's handling of requests and notifications.
#pragma once
