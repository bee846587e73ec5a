<?php
// Cookies and reply headers. The cookie "visits" counts visits for a week,
// "theme" lives for the browser session, and ?clear drops "visits" again.

return function (VexaRequest $req, VexaReply $reply): void {
    $visits = (int) ($req->cookies['visits'] ?? 0) + 1;
    $clear = str_contains((string) ($req->info['URL'] ?? ''), '?clear');

    $reply->contentType('text/html; charset=UTF-8');
    $reply->header('X-Sample-Page', 'cookies');
    $reply->header('Cache-Control', 'no-store');
    if ($clear) {
        $reply->cookie('visits', '', -1);             // a date in the past removes it
    } else {
        $reply->cookie('visits', (string) $visits, 7);  // seven days, HttpOnly
    }
    $reply->cookie('theme', 'light', 0, '/', '', false, false);  // session, visible to scripts

    $rows = '';
    foreach ($req->cookies as $name => $value) {
        $rows .= '<tr><th>' . vexa_h((string) $name) . '</th><td>' . vexa_h((string) $value) . "</td></tr>\n";
    }
    $body = '<p>' . ($clear ? 'The visit counter was removed.' : "This is visit number $visits.") . "</p>\n"
        . "<h2>Cookies this request carried</h2>\n<table>\n" . ($rows ?: "<tr><td>none</td></tr>\n") . "</table>\n"
        . '<p><a href="/cookies.html">Again</a> · <a href="/cookies.html?clear">Clear the counter</a></p>';
    $reply->send(vexa_layout('Cookies and headers', $body));
};
