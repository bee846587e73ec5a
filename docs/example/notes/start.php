<?php
// The one entry of the notes project. The server runs it once for every page
// request and starts it once for every WebSocket application; which page is
// meant arrives as --ctrl, --evt and --evtp ("/notes-add.html": "notes", "add").

declare(strict_types=1);

require __DIR__ . '/lib/vexa.php';    // copied from the sample project
require __DIR__ . '/lib/vexaws.php';  // copied from the sample project
require __DIR__ . '/app/store.php';

// PHP's warnings go to a file of their own, never into a page (section 2.3).
ini_set('display_errors', '0');
ini_set('error_log', notes_dir() . '/php-errors.log');

$req = VexaRequest::fromProcess($argv);
$reply = new VexaReply();

// ctrl comes from the URL and may hold anything ("..", "/"): only known names.
$routes = ['' => 'notes', 'index' => 'notes', 'notes' => 'notes', 'live' => 'live', 'raw' => 'raw'];
$name = $routes[$req->ctrl] ?? null;
if ($name === null) {
    $reply->send('<!DOCTYPE html><p>There is no such page. <a href="/">Notes</a></p>');
    return;
}
$page = require __DIR__ . "/app/$name.php";
$page($req, $reply);
