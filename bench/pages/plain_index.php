<?php
// The sample project's start page as a plain PHP page, for the comparison
// servers of the benchmark (CGI and PHP's built-in server): the same library
// and page code, with the HTML printed directly instead of in an envelope.
// The including stub defines VEXA_SAMPLE, the sample project's folder.

declare(strict_types=1);

require VEXA_SAMPLE . '/lib/vexa.php';

final class PlainReply extends VexaReply
{
    public function send(string $content): void
    {
        header('Content-Type: text/html; charset=UTF-8');
        echo $content;
    }
}

$req = new VexaRequest();
$req->ctrl = 'index';
$req->info = [
    'Method' => $_SERVER['REQUEST_METHOD'] ?? 'GET',
    'URL' => 'http://' . ($_SERVER['HTTP_HOST'] ?? ''),
    'Server' => ['PHP_SELF' => $_SERVER['PHP_SELF'] ?? '/'],
];
$handler = require VEXA_SAMPLE . '/pages/index.php';
$handler($req, new PlainReply());
