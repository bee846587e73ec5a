<?php
// Entry point of the sample project. The server runs it once per page request:
//
//   php -f start.php - --aroot <bundle> --sharedpath <framework> \
//       --ctrl <ctrl> --evt <evt> --evtp <evtp> --droot <project>
//
// with the request in the environment ("idata", "cdata", "bcookies": hex-coded
// JSON) and reads the reply from standard output, one envelope per line.
// "/blog-view-12.html" arrives as ctrl "blog", evt "view", evtp "12"; the
// page file pages/<ctrl>.php answers it.

declare(strict_types=1);

require __DIR__ . '/lib/vexa.php';

$req = VexaRequest::fromProcess($argv);
$reply = new VexaReply();

$ctrl = $req->ctrl === '' ? 'index' : $req->ctrl;
$page = preg_match('/^[a-z0-9_]+$/', $ctrl) ? __DIR__ . "/pages/$ctrl.php" : '';

if ($page !== '' && is_file($page)) {
    $handler = require $page;
    $handler($req, $reply);
} else {
    $reply->send(vexa_layout('Not found', '<p>There is no page named <code>'
        . vexa_h($ctrl) . '</code>.</p><p><a href="/">Back to the start page</a></p>'));
}
